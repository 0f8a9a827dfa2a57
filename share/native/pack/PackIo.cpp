#include "PackIo.h"

#include <algorithm>
#include <limits>

#include "PackError.h"

namespace pack {

std::shared_ptr<const SourceFile> SourceFile::open(const std::string& path) {
    return std::shared_ptr<const SourceFile>(new SourceFile(path, platform::openInput(path)));
}

SourceFile::SourceFile(std::string path, std::unique_ptr<InputFile> input)
    : filePath(std::move(path)), file(std::move(input)), fileSize(file->size()) {}

void SourceFile::read(uint64_t offset, char* buffer, size_t count) const {
    if (offset > fileSize || count > fileSize - offset) {
        throw Error("[" + filePath + "] ends at " + std::to_string(fileSize) + " bytes, before " + std::to_string(count) +
                    " bytes at offset " + std::to_string(offset));
    }
    file->readAt(offset, buffer, count);
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
        throw Error(std::to_string(size) + " bytes at offset " + std::to_string(offset) + " lie outside [" + file->path() +
                    "] of " + std::to_string(file->size()) + " bytes");
    }
}

void DataBlock::visit(const ChunkConsumer& consumer) const {
    if (file) {
        file->visit(offset, length, consumer);
    } else if (length > 0) {
        consumer(bytes->data(), bytes->size());
    }
}

void DataBlock::writeTo(ByteSink& sink, const ChunkConsumer& written) const {
    const ChunkConsumer seen = written ? written : [](const char*, size_t) {};
    if (file && sink.copyFrom(file->input(), offset, length, seen)) {
        return;
    }
    visit([&sink, &seen](const char* data, size_t size) {
        sink.write(data, size);
        seen(data, size);
    });
}

std::vector<char> DataBlock::load() const {
    if (length > std::numeric_limits<size_t>::max()) {
        throw Error("Block too large to load into memory");
    }
    std::vector<char> copy;
    copy.reserve(static_cast<size_t>(length));
    visit([&copy](const char* data, size_t size) { copy.insert(copy.end(), data, data + size); });
    return copy;
}

std::string DataBlock::text() const {
    const std::vector<char> copy = load();
    return std::string(copy.begin(), copy.end());
}

} // namespace pack
