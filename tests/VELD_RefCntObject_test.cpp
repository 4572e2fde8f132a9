#include "VELD_RefCntObject.h"

#include <gtest/gtest.h>

namespace {

// Counts its destructions, so that each test can see exactly when objects die.
struct Counted : VELD_RefCntObject {
    static inline int destroyed = 0;
    explicit Counted(int v = 0) : value(v) {}
    Counted(const Counted& other) : VELD_RefCntObject(other), value(other.value) {}
    ~Counted() override { ++destroyed; }
    int value;
};

class RefCountPtrTest : public ::testing::Test {
protected:
    void SetUp() override { Counted::destroyed = 0; }
};

TEST_F(RefCountPtrTest, OwnersCountAndTheLastOneDeletesOnce) {
    {
        RefCountPtr<Counted> a(new Counted(1)), empty, copyOfEmpty(empty);
        EXPECT_EQ(a->IsShared(), 0);
        EXPECT_EQ(copyOfEmpty.IsValid(), 0);
        {
            RefCountPtr<Counted> b(a), c;
            c = b;
            EXPECT_EQ(a->IsShared(), 1);
            // Taking the pointee one already holds changes no count.
            c = a;
            c = a.get();
            a = a;
            EXPECT_TRUE(a == b && b == c);
            c = nullptr;
            b = nullptr;
        }
        EXPECT_EQ(a->IsShared(), 0);
        EXPECT_EQ(Counted::destroyed, 0);
    }
    EXPECT_EQ(Counted::destroyed, 1);

    // Re-assigning a sole owner releases the old object at once.
    RefCountPtr<Counted> p(new Counted(2));
    p = new Counted(3);
    EXPECT_EQ(Counted::destroyed, 2);
    EXPECT_EQ(p->value, 3);
}

TEST_F(RefCountPtrTest, UnshareableObjectIsCopiedWhenTakenAgain) {
    auto* raw = new Counted(7);
    RefCountPtr<Counted> a(raw);
    raw->MarkUnshareable();
    RefCountPtr<Counted> b(a), c;
    c = raw;
    EXPECT_NE(b.get(), raw);
    EXPECT_NE(c.get(), raw);
    EXPECT_NE(b.get(), c.get());
    EXPECT_EQ(b->value, 7);
    EXPECT_EQ(b->IsShareable(), 1u);  // the copy starts shareable
    EXPECT_EQ(raw->IsShared(), 0);    // the marked object keeps its single owner

    a = nullptr;
    EXPECT_EQ(Counted::destroyed, 1);
    b = nullptr;
    c = nullptr;
    EXPECT_EQ(Counted::destroyed, 3);
}

TEST_F(RefCountPtrTest, UnsharedCopiesOnlyASharedObject) {
    RefCountPtr<Counted> a(new Counted(5));
    Counted* original = a.get();
    EXPECT_EQ(a.Unshared(), original);

    RefCountPtr<Counted> b(a);
    Counted* mine = b.Unshared();
    EXPECT_NE(mine, original);
    EXPECT_EQ(mine->value, 5);
    EXPECT_EQ(a->IsShared(), 0);
    EXPECT_EQ(b->IsShared(), 0);
    EXPECT_EQ(Counted::destroyed, 0);
    a = nullptr;
    EXPECT_EQ(Counted::destroyed, 1);

    // A copy starts with no owners: one reference taken and given back deletes it.
    original = new Counted(*mine);
    original->AddReference();
    original->RemoveReference();
    EXPECT_EQ(Counted::destroyed, 2);
}

}  // namespace
