#include "ModuleVersion.h"

#include "ErrorHandling.h"
#include "Resources.h"
#include "VersionTexts.h"

namespace ModuleVersion {

tstring versionString(const void* block, std::size_t size, const tstring& name) {
    const std::u16string key(name.begin(), name.end());
    for (const auto& [entry, value] : readVersionTexts(block, size)) {
        if (entry == key) {
            return tstring(value.begin(), value.end());
        }
    }
    return {};
}

tstring versionString(HMODULE module, const tstring& name) noexcept {
    tstring value;
    runReporting([&] {
        const Resource resource(MAKEINTRESOURCEW(1), RT_VERSION, module);
        if (resource.available()) {
            DWORD size = 0;
            const void* data = resource.getPtr(size);
            value = versionString(data, size, name);
        }
    });
    return value;
}

} // namespace ModuleVersion
