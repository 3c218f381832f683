// Owner types for the handles the test tools use: one per kind, movable and
// not copyable, releasing with the kind's own function and keeping the last
// error intact while they do.
#pragma once

#include <windows.h>

struct CKernelHandleKind {
    typedef HANDLE Type;
    static Type Invalid() { return NULL; }
    static void Release(Type value) { CloseHandle(value); }
};

struct CServiceHandleKind {
    typedef SC_HANDLE Type;
    static Type Invalid() { return NULL; }
    static void Release(Type value) { CloseServiceHandle(value); }
};

struct CMappedViewKind {
    typedef LPVOID Type;
    static Type Invalid() { return NULL; }
    static void Release(Type value) { UnmapViewOfFile(value); }
};

template <class Kind> class COwned {
public:
    typedef typename Kind::Type Type;

    COwned() : m_value(Kind::Invalid()) {}
    explicit COwned(Type value) : m_value(value) {}
    ~COwned() { reset(); }

    COwned(const COwned&) = delete;
    COwned& operator=(const COwned&) = delete;
    COwned(COwned&& other) noexcept : m_value(other.m_value) { other.m_value = Kind::Invalid(); }
    COwned& operator=(COwned&& other) noexcept {
        if (this != &other) {
            reset();
            m_value = other.m_value;
            other.m_value = Kind::Invalid();
        }
        return *this;
    }

    Type get() const { return m_value; }
    explicit operator bool() const { return m_value != Kind::Invalid(); }

    // Releases the value held, if any, and keeps the last error as it was.
    void reset() {
        if (m_value == Kind::Invalid())
            return;
        const DWORD error = GetLastError();
        Kind::Release(m_value);
        m_value = Kind::Invalid();
        SetLastError(error);
    }

private:
    Type m_value;
};

typedef COwned<CKernelHandleKind> CHandle;
typedef COwned<CServiceHandleKind> CServiceHandle;
typedef COwned<CMappedViewKind> CMappedView;
