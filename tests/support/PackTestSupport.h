// Helpers shared by the tests of the packer units.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PeImage.h"
#include "PeWriter.h"
#include "ResourceTree.h"
#include "TestSupport.h"

// The stand-in launcher stubs built beside the tests.
inline tstring packStubPath() { return testProgramDir() + L"\\PackStub.exe"; }
inline tstring unalignedPackStubPath() { return testProgramDir() + L"\\PackStubUnaligned.exe"; }

// Incompressible bytes, the same for the same seed.
inline std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 engine(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(engine() & 0xFF);
    }
    return bytes;
}

inline pack::DataBlock blockOf(const std::string& bytes) { return pack::DataBlock(std::vector<char>(bytes.begin(), bytes.end())); }

// Collects everything written.
class MemorySink : public pack::ByteSink {
public:
    void write(const char* data, size_t size) override { bytes.append(data, size); }
    std::string bytes;
};

// Writes `stub` into `output` with `additions` replacing the stub's resources of the same type and name.
inline pack::ImageLayout packFile(const tstring& stub, const tstring& output, const pack::ResourceTree& additions) {
    const pack::PeImage image = pack::PeImage::open(stub);
    pack::ResourceTree tree = image.resources();
    tree.replaceFrom(additions);
    std::ofstream out(output.c_str(), std::ios::binary | std::ios::trunc);
    pack::StreamSink sink(out);
    return pack::writeImage(image, tree, sink);
}

// The NAME=value lines a packed stub prints, with its exit code under "EXIT".
inline std::map<std::string, std::string> runPackedStub(const tstring& program, const tstring& packageOutput) {
    const ProcessResult result = runProcess(L"\"" + program + L"\" \"" + packageOutput + L"\"");
    std::map<std::string, std::string> values;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1, line.find_last_not_of("\r") - eq);
        }
    }
    values["EXIT"] = std::to_string(result.exitCode);
    return values;
}
