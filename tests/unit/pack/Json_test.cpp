#include <gtest/gtest.h>

#include "Json.h"

using namespace pack;

TEST(Json, StringsEscapeQuotesBackslashesAndControlCharactersAndStayUtf8) {
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"Say \"hi\"", "\"Say \\\"hi\\\"\""},
        {"C:\\Program Files\\App", "\"C:\\\\Program Files\\\\App\""},
        {"tab\there\nline\rcr\bback\fform", "\"tab\\there\\nline\\rcr\\bback\\fform\""},
        {std::string("nul\0one\x01\x1f\x7f", 10), "\"nul\\u0000one\\u0001\\u001f\\u007f\""},
        {"Ääni 日本 😀", "\"Ääni 日本 😀\""},
        {"/slash stays", "\"/slash stays\""},
        // Malformed UTF-8 becomes U+FFFD: the output is always valid UTF-8.
        {"bad \xff byte", "\"bad \xEF\xBF\xBD byte\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.json, jsonString(c.text)) << c.text;
    }
}

TEST(Json, ObjectsKeepTheirOrderAndWriteAbsentValuesAsNull) {
    JsonObject object;
    object.addText("name", std::string("a \"b\""))
        .addText("none", std::nullopt)
        .addNumber("size", uint64_t{18446744073709551615u})
        .addNumber("unknown", std::nullopt)
        .addBool("yes", true)
        .addBool("no", false);
    EXPECT_EQ("{\n"
              "  \"name\": \"a \\\"b\\\"\",\n"
              "  \"none\": null,\n"
              "  \"size\": 18446744073709551615,\n"
              "  \"unknown\": null,\n"
              "  \"yes\": true,\n"
              "  \"no\": false\n"
              "}",
              object.text());
    EXPECT_EQ("{}", JsonObject().text());
}
