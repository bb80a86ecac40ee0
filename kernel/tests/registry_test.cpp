// The registry through the Zw routines and the system side. (Case-insensitive names, missing
// keys and values of the wrong type or size are what the driver's entry tests read.)
#include <ks/system.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const std::u16string kKey = ks::ServiceKeyPath(u"RegTest");

HANDLE Open(std::u16string path, ACCESS_MASK access, NTSTATUS* status = nullptr) {
    UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), (PWSTR)path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS result = ZwOpenKey(&key, access, &attributes);
    if (status)
        *status = result;
    return key;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ks::RegistryDeleteKey(kKey);
        ks::RegistryCreateKey(kKey);
    }
};

TEST_F(Registry, AccessIsCheckedAndShortBuffersSaySo) {
    HANDLE reader = Open(kKey, KEY_QUERY_VALUE);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"Blob");
    UCHAR data[40] = {1, 2, 3};
    EXPECT_EQ(ZwSetValueKey(reader, &name, 0, REG_BINARY, data, sizeof(data)),
              STATUS_ACCESS_DENIED);
    HANDLE writer = Open(kKey, KEY_SET_VALUE);
    EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_BINARY, data, sizeof(data)), STATUS_SUCCESS);
    ULONG storage[4], length = 0;
    EXPECT_EQ(ZwQueryValueKey(writer, &name, KeyValuePartialInformation, storage, sizeof(storage),
                              &length),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryValueKey(reader, &name, KeyValuePartialInformation, storage, sizeof(storage),
                              &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 12u + 40u);
    EXPECT_EQ(((PKEY_VALUE_PARTIAL_INFORMATION)storage)->DataLength, 40u);
    EXPECT_EQ(ZwQueryValueKey(reader, &name, KeyValuePartialInformation, storage, 8, &length),
              STATUS_BUFFER_TOO_SMALL);
    ZwClose(reader);
    ZwClose(writer);
}

TEST_F(Registry, SavedTreeLoadsBackWhole) {
    ks::RegistrySetDword(kKey, u"PreviousPort", 3);
    ks::RegistrySetString(kKey, u"SubDevice0", u"123;Korvane Varlo");
    ks::RegistrySetString(kKey + u"\\Sub Key", u"", u"%odd\\value");
    std::string file = ::testing::TempDir() + "registry.txt";
    ASSERT_TRUE(ks::RegistrySave(file));
    ks::RegistryClear();
    EXPECT_FALSE(ks::RegistryGetDword(kKey, u"PreviousPort"));
    ASSERT_TRUE(ks::RegistryLoad(file));
    EXPECT_EQ(ks::RegistryGetDword(kKey, u"previousport"), 3u);
    EXPECT_EQ(ks::RegistryGetString(kKey, u"SubDevice0"), u"123;Korvane Varlo");
    EXPECT_EQ(ks::RegistryGetString(kKey + u"\\sub key", u""), u"%odd\\value");
    EXPECT_EQ(ks::RegistryGetValue(kKey, u"SubDevice0")->data.size(), 18u * 2);
    std::remove(file.c_str());
    EXPECT_FALSE(ks::RegistryLoad(file));

    // Malformed text is refused whole: the tree stays as it was.
    for (const char* bad : {"key \\A\nvalue X 4 0300000\n", "value X four 03000000\n", "key %12\n",
                            "value X 4 zz\n", "door \\A\n"})
        EXPECT_FALSE(ks::RegistryLoadText(bad)) << bad;
    EXPECT_EQ(ks::RegistryGetDword(kKey, u"PreviousPort"), 3u);
    EXPECT_TRUE(ks::RegistryLoadText("key \\A\n\nvalue Empty 3\n"));
    EXPECT_EQ(ks::RegistryGetValue(u"\\A", u"Empty")->data.size(), 0u);
    EXPECT_FALSE(ks::RegistryGetDword(kKey, u"PreviousPort"));
}

TEST(Strings, AppendAndNumbersRespectTheBuffer) {
    WCHAR buffer[8];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"\\??\\"), STATUS_SUCCESS);
    WCHAR digits[10];
    UNICODE_STRING number{0, sizeof(digits), digits};
    // The digits and their terminating zero must fit: ten digits need 22 bytes.
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &number), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(999999999u, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(digits, number.Length / 2), u"999999999");
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(digits, number.Length / 2), u"FF");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&text, &number), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"ABC"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::u16string(buffer, text.Length / 2), u"\\??\\FF"); // unchanged by the failure
    WCHAR tiny[2];
    UNICODE_STRING small{0, sizeof(tiny), tiny};
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &small), STATUS_BUFFER_OVERFLOW);
    char ansi[8];
    EXPECT_EQ(_snprintf(ansi, sizeof(ansi), "%d;%s", 123, "Ab"), 6);
    EXPECT_STREQ(ansi, "123;Ab");
    memset(ansi, '#', sizeof(ansi));
    EXPECT_EQ(_snprintf(ansi, sizeof(ansi), "%d;%s", 123, "Korvane"), -1);
    EXPECT_EQ(std::string(ansi, 8), "123;Korv"); // no room, no terminator
    UNICODE_STRING a = RTL_CONSTANT_STRING(u"Serial"), b = RTL_CONSTANT_STRING(u"SERIAL");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
}

} // namespace
