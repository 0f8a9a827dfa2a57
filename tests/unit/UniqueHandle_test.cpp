#include "TestSupport.h"
#include "UniqueHandle.h"

namespace {

UniqueHandle makeEvent() { return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

bool isOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

} // namespace

TEST(UniqueHandle, ClosesWhenDestroyedAndKeepsTheLastError) {
    HANDLE raw = nullptr;
    {
        UniqueHandle owner = makeEvent();
        raw = owner.get();
        ASSERT_TRUE(owner);
        ASSERT_TRUE(isOpen(raw));
        SetLastError(ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_FALSE(isOpen(raw));
}

TEST(UniqueHandle, MoveTransfersAndAssignmentClosesThePreviousHandle) {
    UniqueHandle a = makeEvent();
    UniqueHandle b = makeEvent();
    const HANDLE rawA = a.get();
    const HANDLE rawB = b.get();
    b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(rawA, b.get());
    EXPECT_FALSE(isOpen(rawB));

    UniqueHandle c(std::move(b));
    EXPECT_EQ(rawA, c.get());
    HANDLE released = c.release();
    EXPECT_FALSE(c);
    EXPECT_TRUE(isOpen(released));
    CloseHandle(released);
}

TEST(UniqueHandle, InvalidValuesAreNotHandles) {
    EXPECT_FALSE(UniqueHandle());
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(UniqueFindHandle(INVALID_HANDLE_VALUE));
    UniqueHandle owner = makeEvent();
    const HANDLE raw = owner.get();
    *owner.put() = nullptr;
    EXPECT_FALSE(isOpen(raw));
}
