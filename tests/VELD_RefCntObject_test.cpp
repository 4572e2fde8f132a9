#include "VELD_RefCntObject.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Counts its destructions, so that each test can see exactly when objects die.
struct Counted : VELD_RefCntObject {
    static inline int destroyed = 0;
    explicit Counted(int v = 0) : value(v) {}
    Counted(const Counted& other) : VELD_RefCntObject(other), value(other.value) {}
    ~Counted() override { ++destroyed; }
    int value;
};

TEST(RefCountPtr, OwnersCountAndTheLastOneDeletesOnce) {
    Counted::destroyed = 0;
    {
        RefCountPtr<Counted> a(new Counted(1)), empty, copyOfEmpty(empty);
        EXPECT_EQ(copyOfEmpty.IsValid(), 0);
        {
            RefCountPtr<Counted> b(a), c;
            c = b;
            EXPECT_EQ(a->IsShared(), 1);
            // Taking the pointee one already holds changes no count.
            RefCountPtr<Counted>& self = a;
            c = a;
            c = a.get();
            a = self;
            EXPECT_TRUE(a == b && b == c);
            c = nullptr;
            b = nullptr;
        }
        EXPECT_EQ(a->IsShared(), 0);
        EXPECT_EQ(Counted::destroyed, 0);
        a = new Counted(2);  // a sole owner lets go of the old object at once
        EXPECT_EQ(Counted::destroyed, 1);
        EXPECT_EQ(a->value, 2);
    }
    EXPECT_EQ(Counted::destroyed, 2);
}

TEST(RefCountPtr, UnshareableAndUnsharedObjectsAreCopied) {
    Counted::destroyed = 0;
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
    a = raw;                          // taking what it holds changes nothing
    EXPECT_EQ(a.get(), raw);
    a = nullptr;
    EXPECT_EQ(Counted::destroyed, 1);

    // Unshared copies only a shared object; the copy starts with one owner.
    EXPECT_EQ(b.Unshared(), b.get());
    c = b;
    Counted* mine = c.Unshared();
    EXPECT_NE(mine, b.get());
    EXPECT_EQ(mine->value, 7);
    EXPECT_EQ(b->IsShared(), 0);
    EXPECT_EQ(c->IsShared(), 0);
    EXPECT_EQ(Counted::destroyed, 2);  // c's earlier object
    b = nullptr;
    c = nullptr;
    EXPECT_EQ(Counted::destroyed, 4);
}

struct Fragile : VELD_RefCntObject {
    static inline int alive = 0;
    Fragile() { ++alive; }
    Fragile(const Fragile&) : VELD_RefCntObject() { throw std::runtime_error("no copy"); }
    ~Fragile() override { --alive; }
};

// A copy-on-write that throws leaves the pointer and every count as they were.
TEST(RefCountPtr, ThrowingCopyChangesNothing) {
    {
        RefCountPtr<Fragile> a(new Fragile), b(new Fragile);
        Fragile* const oldB = b.get();
        a->MarkUnshareable();
        EXPECT_THROW(b = a, std::runtime_error);
        EXPECT_EQ(b.get(), oldB);
        EXPECT_FALSE(a->IsShared());
        EXPECT_FALSE(b->IsShared());
        EXPECT_EQ(Fragile::alive, 2);
        RefCountPtr<Fragile> c(b);
        EXPECT_THROW(c.Unshared(), std::runtime_error);
        EXPECT_EQ(c.get(), oldB);
        EXPECT_TRUE(b->IsShared()) << "both owners still count";
    }
    EXPECT_EQ(Fragile::alive, 0);
}

}  // namespace
