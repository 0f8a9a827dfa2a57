#include <new>

#include "SourceLocation.h"
#include "TestSupport.h"

TEST(NormalizedFunctionName, GccSignatureShapes) {
    const std::pair<const char*, const char*> cases[] = {
        {"void* Dll::getFunction(const std::string&, bool) const", "Dll::getFunction"},
        {"void FileUtils::{anonymous}::createDir(const tstring&, LPSECURITY_ATTRIBUTES, tstring_array*)",
         "FileUtils::`anonymous-namespace'::createDir"},
        {"msi::ActionStatus msi::action<Kind>::operator()(const std::nothrow_t&) [with Kind = msi::uninstall]",
         "msi::action<class msi::uninstall>::operator ()"},
        {"TervoError<T>::TervoError(const T&, const SourceLocation&) [with T = std::runtime_error]",
         "TervoError<class std::runtime_error>::TervoError"},
        {"static Guid Guid::generate()", "Guid::generate"},
        {"{anonymous}::Console::Channel::~Channel()", "`anonymous-namespace'::Console::Channel::~Channel"},
        {"std::vector<std::__cxx11::basic_string<wchar_t> > SysInfo::getCommandArgs(CommandArgsMode)",
         "SysInfo::getCommandArgs"},
        {"msi::ActionStatus::operator bool() const", "msi::ActionStatus::operator bool"},
        {"tstrings::MessageBuilder& tstrings::MessageBuilder::operator<<(const tstring&)",
         "tstrings::MessageBuilder::operator <<"},
        {"void Box<N>::put() [with int N = 3]", "Box<3>::put"},
        {"main", "main"},
        // Lambdas name the function they run in.
        {"msi::closeMSIHANDLE(MSIHANDLE)::<lambda()>", "msi::closeMSIHANDLE"},
        {"msi::Db::close() const::<lambda()> mutable", "msi::Db::close"},
        {"msi::Db::get<long int>(long int)::<lambda(int)>", "msi::Db::get"},
        {"msi::action<msi::uninstall>::operator()(const std::nothrow_t&)::<lambda(auto:11)> [with auto:11 = int]",
         "msi::action<class msi::uninstall>::operator ()"},
        {"Pair<std::vector<int>, 3>::swap()::<lambda()>", "Pair<class std::vector<int>, 3>::swap"},
        {"{anonymous}::anon()::<lambda()>::<lambda()>", "`anonymous-namespace'::anon"},
        {"outer::{anonymous}::S::f()::<lambda(const std::vector<std::__cxx11::basic_string<char> >&, int (*)(int))>",
         "outer::`anonymous-namespace'::S::f"},
        {"static void main()::<lambda(int)>::Local::h()", "main"},
        {"bool Version::operator<(const Version&) const::<lambda()>", "Version::operator <"},
        {"bool Version::operator>(const Version&) const::<lambda()>", "Version::operator >"},
        // A lambda's type as a template argument is part of a name, not where the code ran.
        {"void Holder<T>::run() [with T = main()::<lambda()>]", "Holder<class main()::<lambda()>>::run"},
        {"Holder<main()::<lambda()> >::run()::<lambda()>", "Holder<class main()::<lambda()> >::run"},
    };
    for (const auto& [pretty, expected] : cases) {
        EXPECT_EQ(expected, normalizedFunctionName(pretty)) << pretty;
    }
}

namespace outer {
namespace {
SourceLocation here() { return SourceLocation(); }
} // namespace

SourceLocation inLambda() {
    return [] { return SourceLocation(); }();
}
SourceLocation inNestedLambda() {
    return [] { return [] { return SourceLocation(); }(); }();
}
namespace {
SourceLocation inAnonymousLambda(int n) {
    return [n](auto) { return SourceLocation(); }(n);
}
} // namespace

template <class Kind>
struct action {
    SourceLocation operator()(const std::nothrow_t&) const { return SourceLocation(); }
    SourceLocation inLambda() const {
        return [this] { return SourceLocation(); }();
    }
};
struct uninstall {};

template <class T>
SourceLocation inTemplateLambda(T value) {
    return [value]() mutable { return SourceLocation(); }();
}
} // namespace outer

TEST(SourceLocation, CapturesTheCallersNormalizedName) {
    EXPECT_STREQ("outer::`anonymous-namespace'::here", outer::here().function);
    EXPECT_STREQ("outer::action<class outer::uninstall>::operator ()",
                 outer::action<outer::uninstall>()(std::nothrow).function);
    const std::pair<SourceLocation, const char*> lambdas[] = {
        {outer::inLambda(), "outer::inLambda"},
        {outer::inNestedLambda(), "outer::inNestedLambda"},
        {outer::inAnonymousLambda(1), "outer::`anonymous-namespace'::inAnonymousLambda"},
        {outer::action<outer::uninstall>().inLambda(), "outer::action<class outer::uninstall>::inLambda"},
        {outer::inTemplateLambda(2.5), "outer::inTemplateLambda"},
    };
    for (const auto& [location, expected] : lambdas) {
        EXPECT_STREQ(expected, location.function);
    }
    const SourceLocation location;
    EXPECT_EQ(__LINE__ - 1, location.line);
    EXPECT_EQ(L"SourceLocation_test.cpp", sourceFileName(location));
}

TEST(SourceLocation, FileNameWithoutSeparatorIsTheWholePath) {
    EXPECT_EQ(L"plain.cpp", sourceFileName(SourceLocation("plain.cpp", "f", 1)));
    EXPECT_EQ(L"c.cpp", sourceFileName(SourceLocation("a\\b/c.cpp", "f", 1)));
}

TEST(SourceLocation, InternsOneTextPerSignature) {
    const char* a = normalizeFunctionName("void ns::f(int)");
    const char* b = normalizeFunctionName("void ns::f(int)");
    EXPECT_STREQ("ns::f", a);
    EXPECT_EQ(a, b);
}
