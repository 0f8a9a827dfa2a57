// Packs a payload into a launcher stub for the script tests:
// PackIt STUB OUTPUT PACKAGE PRODUCT_CODE [ICON]. Prints the layout and the time taken; a
// failure goes to standard error with exit code 1.
#include <chrono>
#include <cstdio>
#include <string>

#include "IconFile.h"
#include "PeImage.h"
#include "PeWriter.h"
#include "Utf.h"
#include "VersionBlock.h"

namespace {

std::string utf8(const wchar_t* text) {
    const std::wstring wide(text);
    return pack::toUtf8(std::u16string(wide.begin(), wide.end()));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: PackIt STUB OUTPUT PACKAGE PRODUCT_CODE [ICON]\n");
        return 2;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        const pack::PeImage stub = pack::PeImage::open(utf8(argv[1]));
        pack::ResourceTree tree = stub.resources();
        const auto package = pack::SourceFile::open(utf8(argv[3]));
        tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::package, 0, pack::DataBlock(package, 0, package->size()));
        tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::productCode, 0, pack::DataBlock(utf8(argv[4])));
        pack::setVersionResource(tree, {"Packed Product", "1.2.3", "Tervo Test", "Packed product setup", "1.2.3.4", "setup.exe"});
        if (argc > 5) {
            pack::IconFile::read(utf8(argv[5])).addTo(tree);
        }
        const auto output = pack::platform::createStagedOutput(pack::platform::absolutePath(utf8(argv[2])));
        const pack::ImageLayout layout = pack::writeImage(stub, tree, *output, true);
        output->commit();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("%s section, %llu bytes, %lld ms\n", layout.appendedSection ? "appended" : "rewritten",
                    static_cast<unsigned long long>(layout.fileSize), static_cast<long long>(elapsed.count()));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
