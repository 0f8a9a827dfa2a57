#include "PackIo.h"

#include <algorithm>
#include <limits>
#include <ostream>
#include <stdexcept>

#include "ErrorHandling.h"
#include "WinErrorHandling.h"

namespace pack {

void StreamSink::write(const char* data, size_t size) {
    if (!stream.write(data, static_cast<std::streamsize>(size))) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "Writing " << size << " bytes failed").utf8()));
    }
}

std::shared_ptr<const SourceFile> SourceFile::open(const tstring& path) {
    UniqueHandle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "CreateFile(" << path << ") failed", CreateFileW, error));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.get(), &size)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "GetFileSizeEx(" << path << ") failed", GetFileSizeEx, error));
    }
    return std::shared_ptr<const SourceFile>(new SourceFile(path, std::move(handle), static_cast<uint64_t>(size.QuadPart)));
}

SourceFile::SourceFile(tstring path, UniqueHandle handle, uint64_t size)
    : filePath(std::move(path)), handle(std::move(handle)), fileSize(size) {}

void SourceFile::read(uint64_t offset, void* buffer, size_t count) const {
    if (offset > fileSize || count > fileSize - offset) {
        throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
            << "[" << filePath << "] ends at " << fileSize << " bytes, before " << count << " bytes at offset " << offset).utf8()));
    }
    char* out = static_cast<char*>(buffer);
    while (count > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(count, DWORD{1} << 30));
        DWORD got = 0;
        if (!ReadFile(handle.get(), out, want, &got, &at)) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "ReadFile(" << filePath << ") failed", ReadFile, error));
        }
        if (got == 0) {
            throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
                << "[" << filePath << "] was shortened while being read").utf8()));
        }
        out += got;
        offset += got;
        count -= got;
    }
}

void SourceFile::visit(uint64_t offset, uint64_t count, const ChunkConsumer& consumer) const {
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(count, chunkSize)));
    while (count > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
        read(offset, buffer.data(), piece);
        consumer(buffer.data(), piece);
        offset += piece;
        count -= piece;
    }
}

DataBlock::DataBlock(std::vector<char> data)
    : bytes(std::make_shared<const std::vector<char>>(std::move(data))), length(bytes->size()) {}

DataBlock::DataBlock(std::shared_ptr<const SourceFile> source, uint64_t offset, uint64_t size)
    : file(std::move(source)), offset(offset), length(size) {
    if (offset > file->size() || size > file->size() - offset) {
        throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
            << size << " bytes at offset " << offset << " lie outside [" << file->path() << "] of "
            << file->size() << " bytes").utf8()));
    }
}

void DataBlock::visit(const ChunkConsumer& consumer) const {
    if (file) {
        file->visit(offset, length, consumer);
    } else if (length > 0) {
        consumer(bytes->data(), bytes->size());
    }
}

void DataBlock::writeTo(ByteSink& sink) const {
    visit([&sink](const char* data, size_t size) { sink.write(data, size); });
}

std::vector<char> DataBlock::load() const {
    if (length > std::numeric_limits<size_t>::max()) {
        throw TervoError<std::runtime_error>(std::runtime_error("Block too large to load into memory"));
    }
    std::vector<char> copy;
    copy.reserve(static_cast<size_t>(length));
    visit([&copy](const char* data, size_t size) { copy.insert(copy.end(), data, data + size); });
    return copy;
}

} // namespace pack
