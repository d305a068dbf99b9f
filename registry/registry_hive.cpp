#include "registry/registry_hive.h"

namespace wl::platform {

HiveKey::~HiveKey() {
  std::vector<std::unique_ptr<HiveKey>> pending = std::move(subKeys_);
  while (!pending.empty()) {
    std::unique_ptr<HiveKey> key = std::move(pending.back());
    pending.pop_back();
    for (auto& sub : key->subKeys_) pending.push_back(std::move(sub));
    key->subKeys_.clear();
  }
}

std::size_t HiveKey::LowerBound(std::wstring_view name) const {
  std::size_t low = 0, high = subKeys_.size();
  while (low < high) {
    std::size_t middle = (low + high) / 2;
    if (RegistryCompareNames(subKeys_[middle]->name_, name) < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

HiveKey* HiveKey::FindSubKey(std::wstring_view name) const {
  std::size_t at = LowerBound(name);
  if (at < subKeys_.size() && RegistryNamesEqual(subKeys_[at]->name_, name)) return subKeys_[at].get();
  return nullptr;
}

HiveKey* HiveKey::AddSubKey(std::wstring_view name, bool* created) {
  std::size_t at = LowerBound(name);
  if (at < subKeys_.size() && RegistryNamesEqual(subKeys_[at]->name_, name)) {
    *created = false;
    return subKeys_[at].get();
  }
  *created = true;
  auto key = std::make_unique<HiveKey>(std::wstring(name));
  HiveKey* result = key.get();
  subKeys_.insert(subKeys_.begin() + static_cast<std::ptrdiff_t>(at), std::move(key));
  return result;
}

bool HiveKey::RemoveSubKey(std::wstring_view name) {
  std::size_t at = LowerBound(name);
  if (at >= subKeys_.size() || !RegistryNamesEqual(subKeys_[at]->name_, name)) return false;
  subKeys_.erase(subKeys_.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

namespace {

std::wstring Folded(std::wstring_view name) {
  std::wstring folded(name);
  for (auto& c : folded) c = RegistryUpperCase(c);
  return folded;
}

}  // namespace

const HiveValue* HiveKey::FindValue(std::wstring_view name) const {
  auto found = valueIndex_.find(Folded(name));
  return found == valueIndex_.end() ? nullptr : &values_[found->second];
}

void HiveKey::SetValue(std::wstring_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
  auto [place, added] = valueIndex_.try_emplace(Folded(name), values_.size());
  if (!added) {
    values_[place->second].type = type;
    values_[place->second].data = std::move(data);
    return;
  }
  values_.push_back({std::wstring(name), type, std::move(data)});
}

bool HiveKey::RemoveValue(std::wstring_view name) {
  auto found = valueIndex_.find(Folded(name));
  if (found == valueIndex_.end()) return false;
  std::size_t at = found->second;
  valueIndex_.erase(found);
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(at));
  for (auto& entry : valueIndex_) {
    if (entry.second > at) --entry.second;
  }
  return true;
}

HiveKey* FindHiveKey(HiveKey& root, const std::vector<std::wstring>& path) {
  HiveKey* key = &root;
  for (const auto& name : path) {
    key = key->FindSubKey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

bool HiveFromSections(const std::vector<RegistryFileSection>& sections, std::wstring_view prefix, HiveKey* root,
                      RegistryFileError* error) {
  for (const auto& section : sections) {
    std::wstring_view path = section.path;
    bool inside = path.size() >= prefix.size() && RegistryNamesEqual(path.substr(0, prefix.size()), prefix) &&
                  (path.size() == prefix.size() || path[prefix.size()] == L'\\');
    if (!inside) {
      *error = {section.line, L"the key is not in this hive (" + std::wstring(prefix) + L")"};
      return false;
    }
    path.remove_prefix(prefix.size());
    HiveKey* key = root;
    std::size_t depth = 0;
    while (!path.empty()) {
      if (++depth > kMaxKeyDepth) {
        *error = {section.line, L"the key is more than 512 levels deep"};
        return false;
      }
      path.remove_prefix(1);
      auto end = path.find(L'\\');
      auto name = path.substr(0, end);
      if (!IsStorableKeyName(name)) {
        *error = {section.line, L"empty or unusable key name in the path"};
        return false;
      }
      bool created = false;
      key = key->AddSubKey(name, &created);
      path.remove_prefix(end == std::wstring_view::npos ? path.size() : end);
    }
    for (const auto& value : section.values) {
      if (!IsStorableValueName(value.name)) {
        *error = {section.line, L"unusable value name \"" + value.name + L"\""};
        return false;
      }
      key->SetValue(value.name, value.type, value.data);
    }
  }
  return true;
}

bool ParseHive(std::string_view bytes, std::wstring_view prefix, HiveKey* root, RegistryFileError* error) {
  std::vector<RegistryFileSection> sections;
  return ParseRegistryFile(bytes, RegistryFileUse::Hive, &sections, error) &&
         HiveFromSections(sections, prefix, root, error);
}

std::string FormatHive(const HiveKey& root, std::wstring_view prefix, std::string_view lineEnd) {
  std::string out;
  AppendRegistryFileHeader(out, lineEnd);
  out += lineEnd;
  out += kHiveStartMarker;
  out += lineEnd;
  // Parents before children, sub-keys in their order, without recursion.
  std::vector<std::pair<const HiveKey*, std::wstring>> pending;
  pending.emplace_back(&root, std::wstring(prefix));
  while (!pending.empty()) {
    auto [key, path] = std::move(pending.back());
    pending.pop_back();
    if (key != &root || !key->Values().empty()) {
      AppendRegistryFileSection(out, path, false, lineEnd);
      for (const auto& value : key->Values()) AppendRegistryFileValue(out, value.name, value.type, value.data, lineEnd);
    }
    const auto& subKeys = key->SubKeys();
    for (auto sub = subKeys.rbegin(); sub != subKeys.rend(); ++sub) {
      pending.emplace_back(sub->get(), path + L"\\" + (*sub)->Name());
    }
  }
  out += lineEnd;
  out += kHiveEndMarker;
  out += lineEnd;
  return out;
}

}  // namespace wl::platform
