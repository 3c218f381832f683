// Text of a fixed buffer that grows by formatted pieces: the record texts
// are made with it.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

// Appends to a NUL-terminated text in a fixed buffer, cutting what does not
// fit; `length` is what the buffer holds.
class CTextOut {
public:
    CTextOut(char* out, size_t size) : m_out(out), m_size(size), m_length(0) {
        if (m_size != 0)
            m_out[0] = '\0';
    }

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (m_length + 1 >= m_size)
            return;
        va_list args;
        va_start(args, format);
        int added = vsnprintf(m_out + m_length, m_size - m_length, format, args);
        va_end(args);
        if (added > 0)
            m_length += static_cast<size_t>(added) < m_size - m_length ? static_cast<size_t>(added)
                                                                       : m_size - m_length - 1;
    }

    size_t Length() const { return m_length; }

private:
    char* m_out;
    size_t m_size;
    size_t m_length;
};
