// Timing inside Windows for the benchmarks; every figure is printed in milliseconds, one per line.
//   bench run N COMMAND_LINE          runs the command N times, each from process start to exit
//   bench copy N SOURCE DESTINATION   CopyFileW N times (the copy is deleted, untimed, after each)
//   bench extract N LAUNCHER DIR      the launcher's extraction, step by step, N times:
//                                     "open write delete" per line
//   bench hash N FILE                 the package checksum's throughput in GB/s, N times: over one
//                                     piece of the launcher's size again and again, and over the
//                                     whole file held in memory, "piece whole checksum" per line
//   bench confirm N LAUNCHER          what uninstall does before it calls the installer, N times:
//                                     loading the image, and reading the package's ProductCode from
//                                     its tables, "load read code" per line
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "EmbeddedPackage.h"
#include "FileUtils.h"
#include "Log.h"
#include "PackageChecksum.h"
#include "PackageProperties.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"

namespace {

double now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int runCommand(int count, const std::wstring& commandLine) {
    for (int i = 0; i < count; ++i) {
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        const double start = now();
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        const double end = now();
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        std::printf("%.1f %lu\n", end - start, code);
    }
    return 0;
}

int copyFile(int count, const wchar_t* source, const wchar_t* destination) {
    for (int i = 0; i < count; ++i) {
        const double start = now();
        if (!CopyFileW(source, destination, FALSE)) {
            std::fprintf(stderr, "CopyFileW failed: %lu\n", GetLastError());
            return 1;
        }
        std::printf("%.1f\n", now() - start);
        DeleteFileW(destination);
    }
    return 0;
}

int extract(int count, const wchar_t* launcher, const std::wstring& directory) {
    for (int i = 0; i < count; ++i) {
        const std::wstring target = directory + L"\\bench.tmp";
        CreateDirectoryW(target.c_str(), nullptr);
        const double start = now();
        const UniqueModule image(LoadLibraryExW(launcher, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        if (!image) {
            std::fprintf(stderr, "LoadLibraryExW failed: %lu\n", GetLastError());
            return 1;
        }
        const EmbeddedPackage package(image.get(), launcher);
        const double opened = now();
        package.saveToFile(target + L"\\main.msi");
        const double written = now();
        FileUtils::deleteDirectoryTree(target, std::nothrow);
        const double deleted = now();
        std::printf("%.1f %.1f %.1f\n", opened - start, written - opened, deleted - written);
    }
    return 0;
}

int hash(int count, const wchar_t* path) {
    const UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        std::fprintf(stderr, "cannot open the file: %lu\n", GetLastError());
        return 1;
    }
    const auto bytes = static_cast<std::size_t>(size.QuadPart);
    const std::unique_ptr<char[]> whole(new char[bytes]);
    DWORD got = 0;
    for (std::size_t done = 0; done < bytes; done += got) {
        if (!ReadFile(file.get(), whole.get() + done, static_cast<DWORD>(std::min<std::size_t>(bytes - done, 1 << 30)),
                      &got, nullptr) || got == 0) {
            std::fprintf(stderr, "cannot read the file: %lu\n", GetLastError());
            return 1;
        }
    }
    // The launcher hashes 256 KiB pieces while they are in the processor's cache.
    constexpr std::size_t piece = 256 * 1024;
    const auto gigabytesPerSecond = [](std::size_t length, double ms) { return length / ms / 1e6; };
    for (int i = 0; i < count; ++i) {
        const double start = now();
        PackageChecksum::Xxh64 pieces;
        for (std::size_t done = 0; done + piece <= bytes; done += piece) {
            pieces.update(whole.get(), piece);
        }
        const double middle = now();
        const std::uint64_t value = PackageChecksum::xxh64(whole.get(), bytes);
        const double end = now();
        std::printf("%.2f %.2f %s\n", gigabytesPerSecond(bytes / piece * piece, middle - start),
                    gigabytesPerSecond(bytes, end - middle), PackageChecksum::formatText(value).c_str());
    }
    return 0;
}

int confirm(int count, const wchar_t* launcher) {
    for (int i = 0; i < count; ++i) {
        const double start = now();
        const UniqueModule image(LoadLibraryExW(launcher, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        const HRSRC found = image ? FindResourceW(image.get(), L"MSI", MAKEINTRESOURCEW(10)) : nullptr;
        const HGLOBAL loaded = found ? LoadResource(image.get(), found) : nullptr;
        const auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
        if (!data) {
            std::fprintf(stderr, "no package in the launcher: %lu\n", GetLastError());
            return 1;
        }
        const double loadedAt = now();
        const auto properties = PackageProperties::read(
            PackageProperties::MemorySource(data, SizeofResource(image.get(), found)), {"ProductCode"});
        const double read = now();
        if (!properties || !properties->values.count("ProductCode")) {
            std::fputs("the package names no ProductCode\n", stderr);
            return 1;
        }
        std::printf("%.3f %.3f %s\n", loadedAt - start, read - loadedAt, properties->values.at("ProductCode").c_str());
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // The library's records would otherwise go to standard output, among the figures.
    NopLogAppender silent;
    Logger::global().installAppender(&silent);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const int count = argc > 2 ? _wtoi(argv[2]) : 0;
    if (command == L"run" && argc == 4) {
        return runCommand(count, argv[3]);
    }
    if (command == L"copy" && argc == 5) {
        return copyFile(count, argv[3], argv[4]);
    }
    if (command == L"extract" && argc == 5) {
        return extract(count, argv[3], argv[4]);
    }
    if (command == L"hash" && argc == 4) {
        return hash(count, argv[3]);
    }
    if (command == L"confirm" && argc == 4) {
        return confirm(count, argv[3]);
    }
    std::fputs("usage: bench run N CMDLINE | bench copy N SRC DST | bench extract N LAUNCHER DIR | bench hash N FILE | "
               "bench confirm N LAUNCHER\n",
               stderr);
    return 2;
}
