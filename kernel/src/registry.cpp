// The registry: an in-memory tree of keys with typed values, reached by the Zw routines through
// key handles, pre-filled and read back by the system side, and saved to a text file.
#include "ks_internal.h"
#include "ks/system.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <sstream>

namespace ks {

namespace {

struct Key {
    std::u16string name;                                     // as created
    std::map<std::u16string, std::unique_ptr<Key>> children; // by upcased name
    std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;
};

struct Registry {
    std::mutex lock;
    Key root;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

std::vector<std::u16string> Split(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos)
            j = path.size();
        if (j > i)
            parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

// Registry lock held (or a tree of the caller's own).
Key* FindIn(Key* root, std::u16string_view path, bool create) {
    Key* key = root;
    for (auto& part : Split(path)) {
        auto it = key->children.find(Upcase(part));
        if (it == key->children.end()) {
            if (!create)
                return nullptr;
            auto child = std::make_unique<Key>();
            child->name = part;
            it = key->children.emplace(Upcase(part), std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}

// Registry lock held.
Key* Find(std::u16string_view path, bool create) {
    return FindIn(&TheRegistry().root, path, create);
}

// The body of a key handle's object.
struct KeyObject {
    std::u16string path;
    ACCESS_MASK access;
};

bool DeleteKeyObject(void* body) {
    ((KeyObject*)body)->~KeyObject();
    return false;
}

std::u16string NameOf(PUNICODE_STRING name) {
    return name ? ToU16(name) : std::u16string();
}

KeyObject* KeyFromHandle(HANDLE handle) {
    void* object = HandleObject(handle, nullptr);
    if (object == nullptr)
        Fail("registry operation on an invalid handle %p", handle);
    if (KindOf(object) != ObjectKind::Key)
        Fail("registry operation on handle %p, which is no key", handle);
    DereferenceObject(object); // the handle keeps it alive
    return (KeyObject*)object;
}

void CheckPassive(const char* what) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("%s at IRQL %d: registry routines need PASSIVE_LEVEL", what, CurrentIrql());
}

NTSTATUS OpenOrCreate(PHANDLE KeyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      bool create, PULONG disposition) {
    if (attributes == nullptr || attributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string path = ToU16(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr)
        path = KeyFromHandle(attributes->RootDirectory)->path + u"\\" + path;
    else if (path.empty() || path[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    {
        std::lock_guard guard(TheRegistry().lock);
        if (Find(path, false) == nullptr) {
            if (!create)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            auto parts = Split(path);
            std::u16string parent;
            for (size_t i = 0; i + 1 < parts.size(); i++)
                parent += u"\\" + parts[i];
            if (parts.empty() || Find(parent, false) == nullptr)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            Find(path, true);
            if (disposition)
                *disposition = REG_CREATED_NEW_KEY;
        } else if (disposition) {
            *disposition = REG_OPENED_EXISTING_KEY;
        }
    }
    void* body = CreateObject(ObjectKind::Key, sizeof(KeyObject), DeleteKeyObject);
    if (body == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    new (body) KeyObject{path, access};
    *KeyHandle = CreateHandle(body, access, CurrentDriverContext(), IsKernelHandle(attributes));
    return STATUS_SUCCESS;
}

bool Allowed(ACCESS_MASK granted, ACCESS_MASK wanted) {
    return (granted & wanted) == wanted || (granted & GENERIC_ALL) != 0;
}

std::string Escape(std::u16string_view text) {
    std::string out;
    char buffer[8];
    for (char16_t c : text) {
        if (c > 0x20 && c < 0x7F && c != u'%') {
            out += (char)c;
        } else {
            snprintf(buffer, sizeof(buffer), "%%%04X", (unsigned)c);
            out += buffer;
        }
    }
    return out;
}

// Reads `digits` hex digits of text from `at`; false when they are not there.
bool ParseHex(const std::string& text, size_t at, size_t digits, uint32_t* out) {
    if (at + digits > text.size())
        return false;
    uint32_t value = 0;
    for (size_t i = at; i < at + digits; i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value * 16 + (uint32_t)digit;
    }
    *out = value;
    return true;
}

bool Unescape(const std::string& text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            *out += (char16_t)(unsigned char)text[i];
            continue;
        }
        uint32_t c;
        if (!ParseHex(text, i + 1, 4, &c))
            return false;
        *out += (char16_t)c;
        i += 4;
    }
    return true;
}

// Parses the saved form into root; false at the first malformed line.
bool ParseTree(const std::string& text, Key* root) {
    std::istringstream lines(text);
    Key* key = root;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind, name, hex;
        std::u16string decoded;
        if (!(fields >> kind))
            continue; // blank line
        if (!(fields >> name) || !Unescape(name, &decoded))
            return false;
        if (kind == "key") {
            key = FindIn(root, decoded, true);
            continue;
        }
        if (kind != "value")
            return false;
        ULONG type;
        if (!(fields >> type))
            return false;
        fields >> hex; // absent for empty data
        if (hex.size() % 2 != 0)
            return false;
        if (decoded == u"@")
            decoded.clear();
        RegistryValue value{type, {}};
        for (size_t i = 0; i < hex.size(); i += 2) {
            uint32_t byte;
            if (!ParseHex(hex, i, 2, &byte))
                return false;
            value.data.push_back((uint8_t)byte);
        }
        key->values[Upcase(decoded)] = {decoded, value};
    }
    return true;
}

void SaveKey(std::ostream& out, const Key& key, const std::u16string& path) {
    out << "key " << Escape(path.empty() ? u"\\" : path) << "\n";
    for (auto& [upper, entry] : key.values) {
        out << "value " << Escape(entry.first.empty() ? u"@" : entry.first) << " "
            << entry.second.type << " ";
        char hex[3];
        for (uint8_t b : entry.second.data) {
            snprintf(hex, sizeof(hex), "%02x", b);
            out << hex;
        }
        out << "\n";
    }
    for (auto& [upper, child] : key.children)
        SaveKey(out, *child, path + u"\\" + child->name);
}

} // namespace

std::u16string ServiceKeyPath(std::u16string_view service) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service);
}

void RegistryCreateKey(std::u16string_view path) {
    std::lock_guard guard(TheRegistry().lock);
    Find(path, true);
}

bool RegistryDeleteKey(std::u16string_view path) {
    std::lock_guard guard(TheRegistry().lock);
    auto parts = Split(path);
    if (parts.empty())
        return false;
    std::u16string parent;
    for (size_t i = 0; i + 1 < parts.size(); i++)
        parent += u"\\" + parts[i];
    Key* key = Find(parent, false);
    return key != nullptr && key->children.erase(Upcase(parts.back())) == 1;
}

void RegistrySetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                      const void* data, size_t size) {
    std::lock_guard guard(TheRegistry().lock);
    Key* key = Find(path, true);
    const uint8_t* bytes = (const uint8_t*)data;
    key->values[Upcase(name)] = {std::u16string(name),
                                 RegistryValue{type, std::vector<uint8_t>(bytes, bytes + size)}};
}

void RegistrySetDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
    RegistrySetValue(path, name, REG_DWORD, &value, sizeof(value));
}

void RegistrySetString(std::u16string_view path, std::u16string_view name,
                       std::u16string_view text) {
    std::u16string terminated(text);
    RegistrySetValue(path, name, REG_SZ, terminated.c_str(),
                     (terminated.size() + 1) * sizeof(char16_t));
}

std::optional<RegistryValue> RegistryGetValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard guard(TheRegistry().lock);
    Key* key = Find(path, false);
    if (key == nullptr)
        return std::nullopt;
    auto it = key->values.find(Upcase(name));
    if (it == key->values.end())
        return std::nullopt;
    return it->second.second;
}

std::optional<uint32_t> RegistryGetDword(std::u16string_view path, std::u16string_view name) {
    auto value = RegistryGetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4)
        return std::nullopt;
    uint32_t result;
    memcpy(&result, value->data.data(), 4);
    return result;
}

std::optional<std::u16string> RegistryGetString(std::u16string_view path,
                                                std::u16string_view name) {
    auto value = RegistryGetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    memcpy(text.data(), value->data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

std::vector<std::u16string> RegistryValueNames(std::u16string_view path) {
    std::lock_guard guard(TheRegistry().lock);
    std::vector<std::u16string> names;
    if (Key* key = Find(path, false))
        for (auto& [upper, entry] : key->values)
            names.push_back(entry.first);
    return names;
}

void RegistryClear() {
    std::lock_guard guard(TheRegistry().lock);
    TheRegistry().root.children.clear();
    TheRegistry().root.values.clear();
}

std::string RegistrySaveText() {
    std::ostringstream out;
    std::lock_guard guard(TheRegistry().lock);
    SaveKey(out, TheRegistry().root, u"");
    return out.str();
}

bool RegistrySave(const std::string& file) {
    std::ofstream stream(file, std::ios::trunc);
    stream << RegistrySaveText();
    return bool(stream);
}

bool RegistryLoadText(const std::string& text) {
    Key tree;
    if (!ParseTree(text, &tree))
        return false;
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    registry.root.children = std::move(tree.children);
    registry.root.values = std::move(tree.values);
    return true;
}

bool RegistryLoad(const std::string& file) {
    std::ifstream stream(file);
    if (!stream)
        return false;
    std::ostringstream text;
    text << stream.rdbuf();
    return RegistryLoadText(text.str());
}

} // namespace ks

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    ks::CheckPassive("ZwOpenKey");
    return ks::OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    ks::CheckPassive("ZwCreateKey");
    return ks::OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    ks::CheckPassive("ZwQueryValueKey");
    ks::KeyObject* key = ks::KeyFromHandle(KeyHandle);
    if (!ks::Allowed(key->access, KEY_QUERY_VALUE))
        return STATUS_ACCESS_DENIED;
    std::u16string name = ks::NameOf(ValueName);
    auto value = ks::RegistryGetValue(key->path, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (KeyValueInformationClass == KeyValuePartialInformation) {
        ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG needed = header + (ULONG)value->data.size();
        *ResultLength = needed;
        if (Length < header)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)KeyValueInformation;
        info->TitleIndex = 0;
        info->Type = value->type;
        info->DataLength = (ULONG)value->data.size();
        if (Length < needed)
            return STATUS_BUFFER_OVERFLOW;
        memcpy(info->Data, value->data.data(), value->data.size());
        return STATUS_SUCCESS;
    }
    if (KeyValueInformationClass == KeyValueBasicInformation) {
        ULONG header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        ULONG needed = header + (ULONG)(name.size() * sizeof(WCHAR));
        *ResultLength = needed;
        if (Length < header)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = (PKEY_VALUE_BASIC_INFORMATION)KeyValueInformation;
        info->TitleIndex = 0;
        info->Type = value->type;
        info->NameLength = (ULONG)(name.size() * sizeof(WCHAR));
        if (Length < needed)
            return STATUS_BUFFER_OVERFLOW;
        memcpy(info->Name, name.data(), info->NameLength);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    ks::CheckPassive("ZwSetValueKey");
    ks::KeyObject* key = ks::KeyFromHandle(KeyHandle);
    if (!ks::Allowed(key->access, KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    {
        std::lock_guard guard(ks::TheRegistry().lock);
        if (ks::Find(key->path, false) == nullptr)
            return STATUS_KEY_DELETED;
    }
    ks::RegistrySetValue(key->path, ks::NameOf(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    ks::CheckPassive("ZwDeleteValueKey");
    ks::KeyObject* key = ks::KeyFromHandle(KeyHandle);
    if (!ks::Allowed(key->access, KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    std::lock_guard guard(ks::TheRegistry().lock);
    ks::Key* node = ks::Find(key->path, false);
    if (node == nullptr || node->values.erase(ks::Upcase(ks::NameOf(ValueName))) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

} // extern "C"
