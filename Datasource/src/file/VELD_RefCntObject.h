// Intrusive reference counting with copy-on-write.
// Thread contract: one thread at a time; counts are neither atomic nor locked.
#pragma once

#include "veld_api.h"

class VELD_API VELD_RefCntObject {
public:
    VELD_RefCntObject& operator=(const VELD_RefCntObject& rhs) {
        fRefCount = rhs.fRefCount;
        bShareable = rhs.bShareable;
        return *this;
    }
    virtual ~VELD_RefCntObject();

    void AddReference() { ++fRefCount; }
    void RemoveReference() {
        if (--fRefCount == 0) delete this;
    }
    int IsShared() const { return fRefCount > 1 ? 1 : 0; }
    void MarkUnshareable() { bShareable = false; }
    unsigned int IsShareable() const { return bShareable ? 1u : 0u; }

protected:
    VELD_RefCntObject() : fRefCount(0), bShareable(true) {}
    // A copy starts with no owners and shareable, whatever the source held.
    VELD_RefCntObject(const VELD_RefCntObject&) : fRefCount(0), bShareable(true) {}

private:
    int fRefCount;
    bool bShareable;
};

template <class T>
class RefCountPtr {
public:
    RefCountPtr(T* realPtr = 0) : pointee(realPtr) { Init(); }
    RefCountPtr(const RefCountPtr& rhs) : pointee(rhs.pointee) { Init(); }
    ~RefCountPtr() {
        if (pointee) pointee->RemoveReference();
        pointee = 0;
    }

    RefCountPtr& operator=(T* realPtr) {
        if (pointee != realPtr) {
            // The new reference is taken first, in a pointer of its own: a copy
            // that throws (an unshareable pointee) then leaves this one as it
            // was, and a throwing release of the old one leaves it consistent.
            RefCountPtr fresh(realPtr);
            T* old = pointee;
            pointee = fresh.pointee;
            fresh.pointee = 0;
            if (old) old->RemoveReference();
        }
        return *this;
    }
    RefCountPtr& operator=(const RefCountPtr& rhs) { return *this = rhs.pointee; }

    // Gives this owner a private copy when others share the pointee.
    T* Unshared() {
        if (pointee->IsShared()) {
            // Copied before this owner's reference goes, so that a copy that
            // throws leaves the count as it was.
            RefCountPtr fresh(new T(*pointee));
            T* old = pointee;
            pointee = fresh.pointee;
            fresh.pointee = 0;
            old->RemoveReference();
        }
        return pointee;
    }

    int operator==(const RefCountPtr& rhs) const { return pointee == rhs.pointee ? 1 : 0; }
    int operator==(const T* rhs) const { return pointee == rhs ? 1 : 0; }
    int operator!=(const RefCountPtr& rhs) const { return pointee != rhs.pointee ? 1 : 0; }
    int operator!=(const T* rhs) const { return pointee != rhs ? 1 : 0; }

    T* operator->() { return pointee; }
    const T* operator->() const { return pointee; }
    T& operator*() { return *pointee; }
    const T& operator*() const { return *pointee; }
    T* get() { return pointee; }
    const T* get() const { return pointee; }
    int IsValid() const { return pointee != 0 ? 1 : 0; }

protected:
    void Init() {
        if (!pointee) return;
        if (!pointee->IsShareable()) pointee = new T(*pointee);
        pointee->AddReference();
    }

private:
    T* pointee;
};
