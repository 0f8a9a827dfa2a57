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
        // What a terminal would not show as itself, as JSON escapes of the same characters.
        {"c1 \u0085\u009b", "\"c1 \\u0085\\u009b\""},
        {"Safe\u202Eexe.jpg \u2066\u200B\uFEFF", "\"Safe\\u202eexe.jpg \\u2066\\u200b\\ufeff\""},
        {"tag\U000E0041", "\"tag\\udb40\\udc41\""},
        {"\u00a0\u200A\uFFFD", "\"\u00a0\u200A\uFFFD\""},
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

TEST(Json, NestedObjectsAreWrittenOnOneLine) {
    JsonObject inner;
    inner.addText("why", std::string("too \"long\"")).addNumber("bytes", uint64_t{5000});
    JsonObject object;
    object.addObject("empty", JsonObject()).addObject("inner", inner).addBool("last", true);
    EXPECT_EQ("{\n  \"empty\": {},\n  \"inner\": {\"why\": \"too \\\"long\\\"\", \"bytes\": 5000},\n  \"last\": true\n}",
              object.text());
    EXPECT_EQ("{\"why\": \"too \\\"long\\\"\", \"bytes\": 5000}", inner.inlineText());
}
