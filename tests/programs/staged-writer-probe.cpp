// Writes through a StagedFileWriter and then dies without running any destructor:
// staged-writer-probe DESTINATION
#include "FileUtils.h"
#include "WinHeaders.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    FileUtils::StagedFileWriter writer(argv[1]);
    writer.write("half of the data", 16);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}
