// Packs a payload into a launcher stub for the script tests:
// PackIt STUB OUTPUT PACKAGE PRODUCT_CODE [ICON]. Prints the layout and the time taken; a
// failure goes to standard error with exit code 1.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "ErrorHandling.h"
#include "IconFile.h"
#include "PeImage.h"
#include "PeWriter.h"
#include "VersionBlock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: PackIt STUB OUTPUT PACKAGE PRODUCT_CODE [ICON]\n");
        return 2;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        const pack::PeImage stub = pack::PeImage::open(argv[1]);
        pack::ResourceTree tree = stub.resources();
        const std::shared_ptr<const pack::SourceFile> package = pack::SourceFile::open(argv[3]);
        tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::package, 0, pack::DataBlock(package, 0, package->size()));
        const std::string code = tstrings::encodeUtf8(argv[4]);
        tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::productCode, 0, pack::DataBlock(std::vector<char>(code.begin(), code.end())));
        pack::setVersionResource(tree, {L"Packed Product", L"1.2.3", L"Tervo Test", L"Packed product setup", L"1.2.3.4", L"setup.exe"});
        if (argc > 5) {
            pack::IconFile::read(argv[5]).addTo(tree);
        }
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        pack::StreamSink sink(out);
        const pack::ImageLayout layout = pack::writeImage(stub, tree, sink);
        out.close();
        if (!out) {
            std::fprintf(stderr, "closing the output failed\n");
            return 1;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("%s section, %llu bytes, %lld ms\n", layout.appendedSection ? "appended" : "rewritten",
                    static_cast<unsigned long long>(layout.fileSize), static_cast<long long>(elapsed.count()));
        return 0;
    } catch (const std::exception& e) {
        const TervoErrorBase* located = dynamic_cast<const TervoErrorBase*>(&e);
        std::fprintf(stderr, "%s\n", located ? located->plainMessage() : e.what());
        return 1;
    }
}
