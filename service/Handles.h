// Small owner types for the handles, keys, views and memory blocks the
// service host uses.
//
// Each owner holds one value of one kind, is movable but not copyable, and
// releases the value with the kind's own function when it goes out of scope.
// The invalid value is fixed by the kind. Releasing keeps the calling
// thread's last error intact, so an owner that goes out of scope between a
// failing call and the code that formats its error does not disturb it.
//
// Declare owners in the order the values are acquired: C++ destroys them in
// reverse, which releases a service handle before the manager handle it was
// opened from, and a view before its mapping.
#pragma once

#include <windows.h>

// The release function and invalid value of each kind.
struct CKernelHandleKind {
    typedef HANDLE Type;
    static Type Invalid() { return NULL; }
    static BOOL Release(Type value) { return CloseHandle(value); }
};

struct CServiceHandleKind {
    typedef SC_HANDLE Type;
    static Type Invalid() { return NULL; }
    static BOOL Release(Type value) { return CloseServiceHandle(value); }
};

struct CRegKeyKind {
    typedef HKEY Type;
    static Type Invalid() { return NULL; }
    static LONG Release(Type value) { return RegCloseKey(value); }
};

struct CMappedViewKind {
    typedef LPVOID Type;
    static Type Invalid() { return NULL; }
    static BOOL Release(Type value) { return UnmapViewOfFile(value); }
};

struct CGlobalMemoryKind {
    typedef HGLOBAL Type;
    static Type Invalid() { return NULL; }
    static HGLOBAL Release(Type value) { return GlobalFree(value); }
};

struct CLocalMemoryKind {
    typedef HLOCAL Type;
    static Type Invalid() { return NULL; }
    static HLOCAL Release(Type value) { return LocalFree(value); }
};

struct CEventSourceKind {
    typedef HANDLE Type;
    static Type Invalid() { return NULL; }
    static BOOL Release(Type value) { return DeregisterEventSource(value); }
};

template <class Kind> class COwner {
public:
    typedef typename Kind::Type Type;

    COwner() : m_value(Kind::Invalid()) {}
    explicit COwner(Type value) : m_value(value) {}
    ~COwner() { reset(); }

    COwner(const COwner&) = delete;
    COwner& operator=(const COwner&) = delete;

    COwner(COwner&& other) noexcept : m_value(other.release()) {}
    COwner& operator=(COwner&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Type get() const { return m_value; }
    bool valid() const { return m_value != Kind::Invalid(); }
    explicit operator bool() const { return valid(); }

    // Gives the value up without releasing it; the owner is left empty.
    Type release() {
        Type value = m_value;
        m_value = Kind::Invalid();
        return value;
    }

    // Releases the value held, if any, and takes `value` over.
    void reset(Type value = Kind::Invalid()) {
        Type old = m_value;
        m_value = value;
        if (old != Kind::Invalid())
            ReleaseKeepingLastError(old);
    }

    // Releases what is held and returns the address to pass to a function
    // that delivers a new value through an out-parameter (RegCreateKeyA).
    Type* receive() {
        reset();
        return &m_value;
    }

protected:
    static void ReleaseKeepingLastError(Type value) {
        DWORD error = GetLastError();
        Kind::Release(value);
        SetLastError(error);
    }

    Type m_value;
};

typedef COwner<CKernelHandleKind> CHandle;
typedef COwner<CServiceHandleKind> CServiceHandle;
typedef COwner<CMappedViewKind> CMappedView;
typedef COwner<CGlobalMemoryKind> CGlobalMemory;
typedef COwner<CLocalMemoryKind> CLocalMemory;
typedef COwner<CEventSourceKind> CEventSource;

// A registry key. Registry functions return their error code and leave the
// last error alone; close() passes RegCloseKey's code on for callers that
// must report it.
class CRegKey : public COwner<CRegKeyKind> {
public:
    CRegKey() = default;
    explicit CRegKey(HKEY key) : COwner<CRegKeyKind>(key) {}

    // Closes the key now. Returns RegCloseKey's result, or ERROR_SUCCESS when
    // no key was held. The owner is empty afterwards.
    LONG close() {
        HKEY key = release();
        if (key == NULL)
            return ERROR_SUCCESS;
        DWORD error = GetLastError();
        LONG result = RegCloseKey(key);
        SetLastError(error);
        return result;
    }
};

// A critical section owned by an object: initialised with it, deleted with it.
class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&m_section); }
    // The dispatcher returns as soon as stopped is reported, so the object
    // can be destroyed while the service-main thread is still leaving the
    // lock it reported under: take the lock once more before deleting it.
    ~CCriticalSection() {
        EnterCriticalSection(&m_section);
        LeaveCriticalSection(&m_section);
        DeleteCriticalSection(&m_section);
    }

    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    CRITICAL_SECTION* get() { return &m_section; }

private:
    CRITICAL_SECTION m_section;
};

// Holds a critical section for the lifetime of the guard. Leaving keeps the
// last error intact, so a caller can read the error of a call it made while
// holding the lock after the guard is gone.
class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CCriticalSection& section) : m_section(section) {
        EnterCriticalSection(m_section.get());
    }
    ~CCriticalSectionLock() {
        DWORD error = GetLastError();
        LeaveCriticalSection(m_section.get());
        SetLastError(error);
    }

    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    CCriticalSection& m_section;
};
