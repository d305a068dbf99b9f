#include "platform/pe_version.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/text.h"

namespace wl::platform {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t kResourceTypeVersion = 16;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;

// Little-endian reads that fail instead of reading past the end.
std::optional<std::uint16_t> Read16(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return std::nullopt;
  return static_cast<std::uint16_t>(LoadLittleEndian(bytes.subspan(offset, 2)));
}

std::optional<std::uint32_t> Read32(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  return static_cast<std::uint32_t>(LoadLittleEndian(bytes.subspan(offset, 4)));
}

std::optional<Bytes> Slice(Bytes bytes, std::size_t offset, std::size_t size) {
  if (offset > bytes.size() || bytes.size() - offset < size) return std::nullopt;
  return bytes.subspan(offset, size);
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// The resource section's bytes and the RVA at which they start.
struct ResourceSection {
  Bytes bytes;
  std::uint32_t rva = 0;
};

std::optional<ResourceSection> FindResourceSection(Bytes image) {
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  auto peOffset = Read32(image, 0x3C);
  if (!peOffset) return std::nullopt;
  auto signature = Read32(image, *peOffset);
  if (!signature || *signature != 0x00004550) return std::nullopt;  // "PE\0\0"
  std::size_t coff = static_cast<std::size_t>(*peOffset) + 4;
  auto sectionCount = Read16(image, coff + 2);
  auto optionalSize = Read16(image, coff + 16);
  std::size_t optional = coff + 20;
  auto magic = Read16(image, optional);
  if (!sectionCount || !optionalSize || !magic) return std::nullopt;
  // The data directories follow the fixed fields, which are longer in PE32+.
  std::size_t directories = *magic == 0x20B ? 112 : *magic == 0x10B ? 96 : 0;
  if (directories == 0) return std::nullopt;
  auto directoryCount = Read32(image, optional + directories - 4);
  if (!directoryCount || *directoryCount < 3 || directories + 3 * 8 > *optionalSize) return std::nullopt;
  auto resourceRva = Read32(image, optional + directories + 2 * 8);
  if (!resourceRva || *resourceRva == 0) return std::nullopt;

  std::size_t table = optional + *optionalSize;
  for (std::size_t i = 0; i < *sectionCount; ++i) {
    std::size_t header = table + i * 40;
    auto virtualSize = Read32(image, header + 8);
    auto virtualAddress = Read32(image, header + 12);
    auto rawSize = Read32(image, header + 16);
    auto rawOffset = Read32(image, header + 20);
    if (!virtualSize || !virtualAddress || !rawSize || !rawOffset) return std::nullopt;
    std::uint64_t span = *virtualSize != 0 ? *virtualSize : *rawSize;
    if (*resourceRva < *virtualAddress || *resourceRva - *virtualAddress >= span) continue;
    // The part of the section that the file holds; a section that claims more
    // raw bytes than the file has is cut to what is there.
    if (*rawOffset >= image.size()) return std::nullopt;
    std::size_t available = std::min<std::size_t>(*rawSize, image.size() - *rawOffset);
    return ResourceSection{image.subspan(*rawOffset, available), *virtualAddress};
  }
  return std::nullopt;
}

// The first entry of a resource directory with the given id (or the first
// entry of any kind when id is empty): the entry's offset field.
std::optional<std::uint32_t> DirectoryEntry(Bytes section, std::size_t directory, std::optional<std::uint32_t> id) {
  auto named = Read16(section, directory + 12);
  auto numbered = Read16(section, directory + 14);
  if (!named || !numbered) return std::nullopt;
  std::size_t count = static_cast<std::size_t>(*named) + *numbered;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t entry = directory + 16 + i * 8;
    auto name = Read32(section, entry);
    auto target = Read32(section, entry + 4);
    if (!name || !target) return std::nullopt;
    if (!id || *name == *id) return target;
  }
  return std::nullopt;
}

// The data of the first RT_VERSION resource: type, then name, then language.
std::optional<Bytes> FindVersionResource(Bytes image) {
  auto section = FindResourceSection(image);
  if (!section) return std::nullopt;
  std::size_t directory = 0;
  std::optional<std::uint32_t> id = kResourceTypeVersion;
  // Type, then name, each going one step down: a fixed number of steps, so
  // no entry can lead round in a loop.
  for (int level = 0; level < 2; ++level) {
    auto target = DirectoryEntry(section->bytes, directory, id);
    if (!target || (*target & kSubdirectoryBit) == 0) return std::nullopt;
    directory = *target & ~kSubdirectoryBit;
    id.reset();
  }
  // The language directory holds the data entry; take the first language.
  auto leaf = DirectoryEntry(section->bytes, directory, std::nullopt);
  if (!leaf || (*leaf & kSubdirectoryBit) != 0) return std::nullopt;
  auto dataRva = Read32(section->bytes, *leaf);
  auto dataSize = Read32(section->bytes, std::size_t{*leaf} + 4);
  if (!dataRva || !dataSize || *dataRva < section->rva) return std::nullopt;
  return Slice(section->bytes, *dataRva - section->rva, *dataSize);
}

// One block of the version tree: wLength, wValueLength, wType, the key (a
// null-terminated UTF-16 string), padding to 4 bytes, the value, padding, and
// the children up to wLength.
struct Block {
  Bytes key;  // UTF-16LE units without the terminator
  Bytes value;
  Bytes children;
  std::size_t length = 0;  // where the next sibling starts
};

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

std::optional<Block> ParseBlock(Bytes bytes) {
  auto length = Read16(bytes, 0);
  auto valueLength = Read16(bytes, 2);
  auto type = Read16(bytes, 4);
  // A block shorter than its own header would never let a walk move on.
  if (!length || !valueLength || !type || *length < 6 || *length > bytes.size()) return std::nullopt;
  Bytes block = bytes.first(*length);
  std::size_t offset = 6;
  for (;; offset += 2) {
    auto unit = Read16(block, offset);
    if (!unit) return std::nullopt;
    if (*unit == 0) break;
  }
  Block result;
  result.key = block.subspan(6, offset - 6);
  offset = std::min(Align4(offset + 2), block.size());
  // Text values count UTF-16 units, binary values bytes.
  std::size_t valueBytes = *type == 1 ? static_cast<std::size_t>(*valueLength) * 2 : *valueLength;
  auto value = Slice(block, offset, valueBytes);
  if (!value) return std::nullopt;
  result.value = *value;
  offset = std::min(Align4(offset + valueBytes), block.size());
  result.children = block.subspan(offset);
  result.length = std::min(Align4(*length), bytes.size());
  return result;
}

bool KeyEquals(Bytes key, std::u16string_view name) {
  if (key.size() != name.size() * 2) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto unit = static_cast<char16_t>(key[2 * i] | key[2 * i + 1] << 8);
    if (AsciiLower(unit) != AsciiLower(name[i])) return false;
  }
  return true;
}

// The first child block with the given key; empty when there is none or the
// children cannot be walked up to it.
std::optional<Block> FindChild(Bytes children, std::u16string_view name) {
  std::size_t offset = 0;
  while (offset < children.size()) {
    auto child = ParseBlock(children.subspan(offset));
    if (!child) return std::nullopt;
    if (KeyEquals(child->key, name)) return child;
    offset += child->length;  // at least 6: the walk always moves on
  }
  return std::nullopt;
}

std::u16string TranslationName(std::uint16_t language, std::uint16_t codePage) {
  std::u16string name;
  AppendHex(name, static_cast<std::uint32_t>(language) << 16 | codePage, 8);
  return name;
}

}  // namespace

bool FindPeVersionString(std::span<const std::uint8_t> image, std::u16string_view key, std::u16string* out) {
  if (key.empty()) return false;
  auto resource = FindVersionResource(image);
  if (!resource) return false;
  auto root = ParseBlock(*resource);
  if (!root || !KeyEquals(root->key, u"VS_VERSION_INFO")) return false;
  auto varInfo = FindChild(root->children, u"VarFileInfo");
  auto stringInfo = FindChild(root->children, u"StringFileInfo");
  if (!varInfo || !stringInfo) return false;
  auto translation = FindChild(varInfo->children, u"Translation");
  if (!translation) return false;
  for (std::size_t i = 0; i + 4 <= translation->value.size(); i += 4) {
    auto language = Read16(translation->value, i);
    auto codePage = Read16(translation->value, i + 2);
    auto table = FindChild(stringInfo->children, TranslationName(*language, *codePage));
    if (!table) continue;
    auto entry = FindChild(table->children, key);
    if (!entry) continue;
    out->clear();
    for (std::size_t k = 0; k + 2 <= entry->value.size(); k += 2) {
      auto unit = static_cast<char16_t>(entry->value[k] | entry->value[k + 1] << 8);
      if (unit == 0) break;
      out->push_back(unit);
    }
    return true;
  }
  return false;
}

}  // namespace wl::platform
