#include "tuvax/error.hpp"

#include <cstdio>
#include <cstring>  // std::strerror
#include <format>

namespace tuvax {

TuvaxError TuvaxError::io(int os_errno) { return {ErrorKind::Io, static_cast<std::uint64_t>(os_errno), 0, std::strerror(os_errno)}; }
TuvaxError TuvaxError::invalid_magic() { return {ErrorKind::InvalidMagic, 0, 0, {}}; }
TuvaxError TuvaxError::unsupported_version(std::uint8_t version) { return {ErrorKind::UnsupportedVersion, version, 0, {}}; }
TuvaxError TuvaxError::invalid_wire_type(std::uint8_t tag) { return {ErrorKind::InvalidWireType, tag, 0, {}}; }
TuvaxError TuvaxError::varint_overflow() { return {ErrorKind::VarintOverflow, 0, 0, {}}; }
TuvaxError TuvaxError::unexpected_eof(std::uint64_t offset) { return {ErrorKind::UnexpectedEof, offset, 0, {}}; }
TuvaxError TuvaxError::checksum_mismatch(std::uint64_t expected, std::uint64_t actual) { return {ErrorKind::ChecksumMismatch, expected, actual, {}}; }
TuvaxError TuvaxError::invalid_utf8(std::uint64_t offset) { return {ErrorKind::InvalidUtf8, offset, 0, {}}; }
TuvaxError TuvaxError::nesting_too_deep(std::uint64_t depth, std::uint64_t max) { return {ErrorKind::NestingTooDeep, depth, max, {}}; }
TuvaxError TuvaxError::block_too_large(std::uint64_t size, std::uint64_t max) { return {ErrorKind::BlockTooLarge, size, max, {}}; }
TuvaxError TuvaxError::too_many_items(std::uint64_t count, std::uint64_t max) { return {ErrorKind::TooManyItems, count, max, {}}; }
TuvaxError TuvaxError::unknown_compression(std::uint8_t code) { return {ErrorKind::UnknownCompression, code, 0, {}}; }
TuvaxError TuvaxError::decompression(std::string message) { return {ErrorKind::Decompression, 0, 0, std::move(message)}; }
TuvaxError TuvaxError::invalid_block_type(std::uint8_t type) { return {ErrorKind::InvalidBlockType, type, 0, {}}; }
TuvaxError TuvaxError::text_parse(std::uint64_t line, std::uint64_t col, std::string message) { return {ErrorKind::TextParse, line, col, std::move(message)}; }
TuvaxError TuvaxError::schema_mismatch(std::string message) { return {ErrorKind::SchemaMismatch, 0, 0, std::move(message)}; }
TuvaxError TuvaxError::memory_limit_exceeded(std::uint64_t requested, std::uint64_t limit) { return {ErrorKind::MemoryLimitExceeded, requested, limit, {}}; }
TuvaxError TuvaxError::invalid_base64(std::string message) { return {ErrorKind::InvalidBase64, 0, 0, std::move(message)}; }
TuvaxError TuvaxError::invalid_data(std::string message) { return {ErrorKind::InvalidData, 0, 0, std::move(message)}; }

std::string TuvaxError::message() const {
  switch (kind_) {
    case ErrorKind::Io: return std::format("I/O error: {}", text_);
    case ErrorKind::InvalidMagic: return "Invalid magic bytes in file header: expected TUVAXv1";
    case ErrorKind::UnsupportedVersion: return std::format("Unsupported format version: {}", a_);
    case ErrorKind::InvalidWireType: return std::format("Invalid wire type tag: 0x{:02x}", a_);
    case ErrorKind::VarintOverflow: return "Varint overflow: encoded integer exceeds 64 bits";
    case ErrorKind::UnexpectedEof: return std::format("Unexpected end of input at offset {}", a_);
    case ErrorKind::ChecksumMismatch: return std::format("Checksum mismatch: expected 0x{:016x}, got 0x{:016x}", a_, b_);
    case ErrorKind::InvalidUtf8: return std::format("Invalid UTF-8 in string field at offset {}", a_);
    case ErrorKind::NestingTooDeep: return std::format("Nesting depth {} exceeds maximum {}", a_, b_);
    case ErrorKind::BlockTooLarge: return std::format("Block size {} exceeds maximum {}", a_, b_);
    case ErrorKind::TooManyItems: return std::format("Item count {} exceeds maximum {}", a_, b_);
    case ErrorKind::UnknownCompression: return std::format("Unknown compression type: {}", a_);
    case ErrorKind::Decompression: return std::format("Decompression error: {}", text_);
    case ErrorKind::InvalidBlockType: return std::format("Invalid block type: {}", a_);
    case ErrorKind::TextParse: return std::format("Text parse error at line {}, col {}: {}", a_, b_, text_);
    case ErrorKind::SchemaMismatch: return std::format("Schema mismatch: {}", text_);
    case ErrorKind::MemoryLimitExceeded: return std::format("Memory limit exceeded: requested {} bytes, limit {}", a_, b_);
    case ErrorKind::InvalidBase64: return std::format("Invalid base64 data: {}", text_);
    case ErrorKind::InvalidData: return std::format("Invalid data: {}", text_);
  }
  return "Unknown error";
}

std::string text_nesting_message(std::uint64_t max) { return std::format("nesting depth exceeds maximum {}", max); }

const char* kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Io: return "Io";
    case ErrorKind::InvalidMagic: return "InvalidMagic";
    case ErrorKind::UnsupportedVersion: return "UnsupportedVersion";
    case ErrorKind::InvalidWireType: return "InvalidWireType";
    case ErrorKind::VarintOverflow: return "VarintOverflow";
    case ErrorKind::UnexpectedEof: return "UnexpectedEof";
    case ErrorKind::ChecksumMismatch: return "ChecksumMismatch";
    case ErrorKind::InvalidUtf8: return "InvalidUtf8";
    case ErrorKind::NestingTooDeep: return "NestingTooDeep";
    case ErrorKind::BlockTooLarge: return "BlockTooLarge";
    case ErrorKind::TooManyItems: return "TooManyItems";
    case ErrorKind::UnknownCompression: return "UnknownCompression";
    case ErrorKind::Decompression: return "Decompression";
    case ErrorKind::InvalidBlockType: return "InvalidBlockType";
    case ErrorKind::TextParse: return "TextParse";
    case ErrorKind::SchemaMismatch: return "SchemaMismatch";
    case ErrorKind::MemoryLimitExceeded: return "MemoryLimitExceeded";
    case ErrorKind::InvalidBase64: return "InvalidBase64";
    case ErrorKind::InvalidData: return "InvalidData";
  }
  return "Unknown";
}

FieldNames field_names(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Io: return {"errno"};
    case ErrorKind::UnsupportedVersion: return {"version"};
    case ErrorKind::InvalidWireType: return {"tag"};
    case ErrorKind::UnexpectedEof:
    case ErrorKind::InvalidUtf8: return {"offset"};
    case ErrorKind::ChecksumMismatch: return {"expected", "actual"};
    case ErrorKind::NestingTooDeep: return {"depth", "maximum"};
    case ErrorKind::BlockTooLarge: return {"size", "maximum"};
    case ErrorKind::TooManyItems: return {"count", "maximum"};
    case ErrorKind::UnknownCompression: return {"code"};
    case ErrorKind::InvalidBlockType: return {"block_type"};
    case ErrorKind::TextParse: return {"lineno", "colno", true};
    case ErrorKind::MemoryLimitExceeded: return {"requested", "limit"};
    case ErrorKind::Decompression:
    case ErrorKind::SchemaMismatch:
    case ErrorKind::InvalidBase64:
    case ErrorKind::InvalidData: return {nullptr, nullptr, true};
    case ErrorKind::InvalidMagic:
    case ErrorKind::VarintOverflow: return {};
  }
  return {};
}

}  // namespace tuvax
