#include "platform/pe_version.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/file_version.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

using test::Bytes;

void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  if (bytes.size() < at + 2) bytes.resize(at + 2);
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// One block of a version tree: header, key, value and children, each part
// padded to 4 bytes; wLength leaves out the padding after the last part.
Bytes Block(std::u16string_view key, const Bytes& value, std::uint16_t valueLength, std::uint16_t type,
            const std::vector<Bytes>& children = {}) {
  Bytes block(6);
  for (char16_t unit : key) Put16(block, block.size(), unit);
  Put16(block, block.size(), 0);
  block.resize((block.size() + 3) & ~std::size_t{3});
  block.insert(block.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    block.resize((block.size() + 3) & ~std::size_t{3});
    block.insert(block.end(), child.begin(), child.end());
  }
  Put16(block, 0, static_cast<std::uint16_t>(block.size()));
  Put16(block, 2, valueLength);
  Put16(block, 4, type);
  return block;
}

Bytes Text(std::u16string_view key, std::u16string_view text) {
  Bytes value;
  for (char16_t unit : text) Put16(value, value.size(), unit);
  Put16(value, value.size(), 0);
  return Block(key, value, static_cast<std::uint16_t>(text.size() + 1), 1);
}

using Table = std::pair<std::u16string, std::vector<std::pair<std::u16string, std::u16string>>>;

Bytes VersionInfo(const std::vector<std::uint32_t>& translations, const std::vector<Table>& tables) {
  Bytes pairs;
  for (std::uint32_t t : translations) Put32(pairs, pairs.size(), (t >> 16) | (t << 16));
  std::vector<Bytes> stringTables;
  for (const auto& [name, strings] : tables) {
    std::vector<Bytes> entries;
    for (const auto& [key, text] : strings) entries.push_back(Text(key, text));
    stringTables.push_back(Block(name, {}, 0, 1, entries));
  }
  Bytes var = Block(u"Translation", pairs, static_cast<std::uint16_t>(pairs.size()), 0);
  return Block(u"VS_VERSION_INFO", Bytes(52, 0), 52, 0,
               {Block(u"StringFileInfo", {}, 0, 1, stringTables), Block(u"VarFileInfo", {}, 0, 1, {var})});
}

// Offsets of the image that PeImage builds.
constexpr std::size_t kPeHeader = 0x40;
constexpr std::size_t kOptionalHeader = kPeHeader + 24;
constexpr std::size_t kSectionTable = kOptionalHeader + 240;
constexpr std::size_t kSection = 0x200;
constexpr std::size_t kVersionData = kSection + 88;

// A PE32+ image with one section holding the resource tree RT_VERSION / 1 /
// 0x409 and the version data.
Bytes PeImage(const Bytes& version) {
  Bytes image(kSection);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, kPeHeader);
  Put32(image, kPeHeader, 0x4550);
  Put16(image, kPeHeader + 4, 0x8664);
  Put16(image, kPeHeader + 6, 1);
  Put16(image, kPeHeader + 20, 240);
  Put16(image, kOptionalHeader, 0x20B);
  Put32(image, kOptionalHeader + 108, 16);
  Put32(image, kOptionalHeader + 112 + 16, 0x1000);
  Put32(image, kOptionalHeader + 112 + 20, static_cast<std::uint32_t>(88 + version.size()));
  std::uint32_t sectionSize = static_cast<std::uint32_t>(88 + version.size());
  Put32(image, kSectionTable + 8, sectionSize);
  Put32(image, kSectionTable + 12, 0x1000);
  Put32(image, kSectionTable + 16, sectionSize);
  Put32(image, kSectionTable + 20, kSection);
  auto directory = [&image](std::size_t at, std::uint32_t id, std::uint32_t target) {
    Put16(image, kSection + at + 14, 1);
    Put32(image, kSection + at + 16, id);
    Put32(image, kSection + at + 20, target);
  };
  directory(0, 16, 0x80000000u | 24);
  directory(24, 1, 0x80000000u | 48);
  directory(48, 0x409, 72);
  Put32(image, kSection + 72, 0x1000 + 88);
  Put32(image, kSection + 76, static_cast<std::uint32_t>(version.size()));
  image.resize(kVersionData);
  image.insert(image.end(), version.begin(), version.end());
  return image;
}

std::optional<std::u16string> Find(const Bytes& image, std::u16string_view key = u"ProductVersion") {
  std::u16string value;
  if (!FindPeVersionString(image, key, &value)) return std::nullopt;
  return value;
}

const Bytes kGood = PeImage(VersionInfo({0x040904B0}, {{u"040904b0", {{u"ProductVersion", u"9.2.7"}}}}));

TEST(PeVersion, TranslationsInStoredOrder) {
  EXPECT_EQ(Find(kGood), u"9.2.7");
  // Keys compare without ASCII case; a key that is missing is not found.
  EXPECT_EQ(Find(kGood, u"PRODUCTVERSION"), u"9.2.7");
  EXPECT_EQ(Find(kGood, u"FileVersion"), std::nullopt);
  Bytes two = PeImage(VersionInfo({0x040904B0, 0x040704E4}, {{u"040904B0", {{u"CompanyName", u"Kestrix"}}},
                                                             {u"040704E4", {{u"ProductVersion", u"2.0"}}}}));
  EXPECT_EQ(Find(two), u"2.0");
  EXPECT_EQ(Find(two, u"CompanyName"), u"Kestrix");
  // A table that no translation names is not searched.
  Bytes orphan = PeImage(VersionInfo({0x040904B0}, {{u"040704e4", {{u"ProductVersion", u"2.0"}}}}));
  EXPECT_EQ(Find(orphan), std::nullopt);
}

TEST(PeVersion, BrokenImagesHaveNoVersion) {
  // Cut anywhere, the image loses a header, a directory or the data.
  for (std::size_t size = 0; size < kGood.size(); ++size) {
    EXPECT_EQ(Find(Bytes(kGood.begin(), kGood.begin() + static_cast<std::ptrdiff_t>(size))), std::nullopt) << size;
  }
  const std::size_t kRoot = kVersionData;
  const std::size_t kFirstChild = kVersionData + 40 + 52;  // after the root's header, key and fixed info
  const struct {
    const char* name;
    std::function<void(Bytes&)> change;
  } cases[] = {
      {"no MZ", [](Bytes& b) { b[0] = 'X'; }},
      {"PE header past the end", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0u); }},
      {"no PE signature", [](Bytes& b) { b[kPeHeader] = 'X'; }},
      {"unknown optional header", [](Bytes& b) { Put16(b, kOptionalHeader, 0x30B); }},
      {"no resource directory", [](Bytes& b) { Put32(b, kOptionalHeader + 108, 2); }},
      {"optional header too short", [](Bytes& b) { Put16(b, kPeHeader + 20, 100); }},
      {"sections past the end", [](Bytes& b) { Put16(b, kPeHeader + 6, 0xFFFF), Put32(b, kSectionTable + 12, 0); }},
      {"resources outside every section", [](Bytes& b) { Put32(b, kOptionalHeader + 128, 0x9000); }},
      {"section data past the end", [](Bytes& b) { Put32(b, kSectionTable + 20, 0x7FFFFFFF); }},
      {"directory entry past the end", [](Bytes& b) { Put32(b, kSection + 20, 0x80000000u | 0x7FFFFFF0u); }},
      {"entry counts past the end", [](Bytes& b) { Put16(b, kSection + 14, 0xFFFF), Put32(b, kSection + 16, 3); }},
      {"directory pointing to itself", [](Bytes& b) { Put32(b, kSection + 20, 0x80000000u); }},
      {"data entry that is a directory", [](Bytes& b) { Put32(b, kSection + 68, 0x80000000u | 48); }},
      {"data before the section", [](Bytes& b) { Put32(b, kSection + 72, 0x10); }},
      {"data past the end", [](Bytes& b) { Put32(b, kSection + 72, 0xFFFFFFF0u); }},
      {"data size past the end", [](Bytes& b) { Put32(b, kSection + 76, 0x7FFFFFFF); }},
      {"root longer than the data", [&](Bytes& b) { Put16(b, kRoot, 0xFFFF); }},
      {"root shorter than its header", [&](Bytes& b) { Put16(b, kRoot, 4); }},
      {"root key without its end", [&](Bytes& b) { Put16(b, kRoot, 20); }},
      {"value longer than the block", [&](Bytes& b) { Put16(b, kRoot + 2, 0xFFFF); }},
      {"child of length 0", [&](Bytes& b) { Put16(b, kFirstChild, 0); }},
      {"child longer than its parent", [&](Bytes& b) { Put16(b, kFirstChild, 0x7FFF); }},
      {"wrong root key", [&](Bytes& b) { b[kRoot + 6] = 'X'; }},
  };
  for (const auto& c : cases) {
    Bytes image = kGood;
    c.change(image);
    EXPECT_EQ(Find(image), std::nullopt) << c.name;
  }
}

}  // namespace
}  // namespace wl::platform
