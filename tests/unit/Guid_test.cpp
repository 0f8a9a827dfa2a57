#include "Guid.h"

#include <set>

#include "TestSupport.h"

namespace {

const tstring upper = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

} // namespace

TEST(Guid, ParsesBracedBareAndHyphenatedForms) {
    for (const wchar_t* form : {L"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", L"0a1b2c3d4e5f60718293a4b5c6d7e8f9",
                                L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", L"{0a1b2c3d4e5f60718293a4b5c6d7e8f9}"}) {
        EXPECT_EQ(upper, Guid(tstring(form)).toString()) << tstrings::encodeUtf8(form);
    }
    EXPECT_EQ(Guid(upper), Guid(std::string("0a1b2c3d4e5f60718293a4b5c6d7e8f9")));
    EXPECT_EQ(L"{00000000-0000-0000-0000-000000000000}", Guid().toString());
}

TEST(Guid, RejectsOtherTextNamingWhatWasConverted) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"},
        {L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"},
        {L"0a1b2c3d4e5f60718293a4b5c6d7e8f90", L"0a1b2c3d4e5f60718293a4b5c6d7e8f90"},
        {L"0a1b2c3d4e5f60718293a4b5c6d7e8fz", L"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8fz}"},
        {L"{0A1B2C3D-4E5F}", L"{0A1B2C3D-4E5F}"},
    };
    for (const auto& [text, converted] : cases) {
        EXPECT_EQ("IIDFromString(" + tstrings::encodeUtf8(converted) + ") failed",
                  thrownPlainMessage([&] { Guid{tstring(text)}; }, "`anonymous-namespace'::initGuid"));
    }
}

TEST(Guid, PrintsWithTheFormatFlags) {
    const std::pair<int, const wchar_t*> cases[] = {
        {Guid::formatNoBraces, L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"},
        {Guid::formatNoHyphens, L"{0A1B2C3D4E5F60718293A4B5C6D7E8F9}"},
        {Guid::formatLowercase, L"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}"},
        {Guid::formatNoBraces | Guid::formatNoHyphens | Guid::formatLowercase, L"0a1b2c3d4e5f60718293a4b5c6d7e8f9"},
    };
    for (const auto& [flags, text] : cases) {
        EXPECT_EQ(text, Guid(upper).toString(flags)) << flags;
    }
}

TEST(Guid, EqualByBytesOrderedByText) {
    // As bytes the first is the greater (Data1 is stored little-endian); as text it is the smaller.
    const Guid low(GUID{0x00000001, 0, 0, {}});
    const Guid high(GUID{0x00000100, 0, 0, {}});
    EXPECT_LT(low, high);
    EXPECT_NE(low, high);
    EXPECT_EQ(low, Guid(L"{00000001-0000-0000-0000-000000000000}"));

    std::set<Guid> generated{Guid()};
    for (int i = 0; i < 16; ++i) {
        generated.insert(Guid::generate());
    }
    EXPECT_EQ(17u, generated.size());
}
