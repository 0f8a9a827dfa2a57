#include "EmbeddedPackage.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "PackageChecksum.h"
#include "Resources.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"

namespace {

// Large enough that the system calls cost little, small enough to stay in the processor's cache
// between the read, the hash and the write.
constexpr DWORD pieceSize = 256 * 1024;

[[noreturn]] void throwDamaged(const tstring& modulePath, const char* reason,
                               const SourceLocation& location = std::source_location::current()) {
    const tstring name = FileUtils::leafName(modulePath);
    throw TervoError<std::runtime_error>(
        std::runtime_error((tstrings::MessageBuilder() << "The installation package inside " << name
                                                       << " is damaged (" << reason << "). Download " << name
                                                       << " again.")
                               .utf8()),
        location);
}

// The launcher's own file failed to give its package: no system error of the caller's files, so
// that nobody blames the folder the package goes to.
[[noreturn]] void throwUnreadable(const tstring& modulePath, const SysError& error,
                                  const SourceLocation& location = std::source_location::current()) {
    throw TervoError<std::runtime_error>(
        std::runtime_error((tstrings::MessageBuilder() << "Cannot read the package from " << modulePath << ": "
                                                       << std::string(error.what()))
                               .utf8()),
        location);
}

// Where the `size` bytes at `data` of the mapped image lie in its file. The image is laid out as
// the loader maps it, so the section table translates. Nothing when the file does not hold them
// all (the loader filled the tail of their section with zeros).
std::optional<std::uint64_t> fileOffsetOf(HMODULE module, const void* data, std::uint64_t size) {
    // An image-resource handle carries flags in its low bits.
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const std::uint64_t rva = static_cast<std::uint64_t>(static_cast<const BYTE*>(data) - base);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const std::uint64_t start = section->VirtualAddress;
        if (rva >= start && rva + size <= start + section->SizeOfRawData) {
            return section->PointerToRawData + (rva - start);
        }
    }
    return std::nullopt;
}

} // namespace

EmbeddedPackage::EmbeddedPackage(HMODULE module, const tstring& modulePath) : modulePath(modulePath) {
    DWORD size = 0;
    const void* data = Resource(L"msi", RT_RCDATA, module).getPtr(size);
    mapped = static_cast<const BYTE*>(data);
    byteCount = size;
    const std::optional<std::uint64_t> offset = fileOffsetOf(module, data, size);
    if (!offset) {
        throwDamaged(modulePath, "truncated");
    }
    fileOffset = *offset;

    const Resource checksumResource(PackageChecksum::resourceName, RT_RCDATA, module);
    if (checksumResource.available()) {
        const std::vector<std::uint8_t> text = checksumResource.bytes();
        expected = PackageChecksum::parseText(std::string(text.begin(), text.end()));
        if (!expected) {
            throwDamaged(modulePath, "malformed checksum");
        }
    }
}

void EmbeddedPackage::saveToFile(const tstring& path) const {
    if (!expected && Logger::global().accepts(Severity::WARNING)) {
        logAt(Severity::WARNING, tstrings::MessageBuilder() << "No checksum stored for the package inside ["
                                                            << modulePath << "]: it is written unchecked");
    }
    const UniqueHandle source(CreateFileW(modulePath.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        // Renamed or moved since it started, or runnable but not readable: the image the system
        // mapped still holds the package.
        const DWORD error = GetLastError();
        if (Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING, tstrings::MessageBuilder()
                                         << "CreateFile(" << modulePath << ") failed with " << systemErrorText(error)
                                         << "; the package is read from the mapped image");
        }
    } else {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(fileOffset);
        if (!SetFilePointerEx(source.get(), position, nullptr, FILE_BEGIN)) {
            const DWORD error = GetLastError();
            throwUnreadable(modulePath, SysError(tstrings::MessageBuilder() << "SetFilePointerEx(" << modulePath
                                                                            << ") failed",
                                                 SetFilePointerEx, error));
        }
    }

    FileUtils::StagedFileWriter writer(path);
    const std::unique_ptr<BYTE[]> buffer(source ? new BYTE[pieceSize] : nullptr);
    PackageChecksum::Xxh64 hasher;
    for (std::uint64_t left = byteCount; left > 0;) {
        const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>(left, pieceSize));
        const BYTE* piece = mapped + (byteCount - left);
        DWORD got = wanted;
        if (source) {
            piece = buffer.get();
            if (!ReadFile(source.get(), buffer.get(), wanted, &got, nullptr)) {
                const DWORD error = GetLastError();
                throwUnreadable(modulePath,
                                SysError(tstrings::MessageBuilder() << "ReadFile(" << modulePath << ") failed", ReadFile, error));
            }
            if (got == 0) {
                throwDamaged(modulePath, "truncated");
            }
        }
        if (expected) {
            hasher.update(piece, got);
        }
        writer.write(piece, got);
        left -= got;
    }
    if (expected) {
        if (hasher.digest() != *expected) {
            throwDamaged(modulePath, "checksum mismatch");
        }
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "Package checksum "
                                                              << PackageChecksum::formatText(*expected) << " verified");
        }
    }
    writer.commit();
}
