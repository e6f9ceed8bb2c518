#pragma once

#include <QtGlobal>

#include <vector>

// First-in first-out queue of 32-bit cell indices: a ring buffer that doubles
// when full. Memory: 4 bytes per entry of the
// largest size reached, rounded up to a power of two.
class CellQueue
{
public:
    bool empty() const { return m_head == m_tail; }
    size_t size() const { return size_t(m_tail - m_head); }
    // Empties the queue; its storage is kept for the next walk.
    void clear() { m_head = m_tail = 0; }

    void push(quint32 index)
    {
        if (m_tail - m_head == m_buffer.size())
            grow();
        m_buffer[size_t(m_tail++) & m_mask] = index;
    }
    // Precondition: !empty().
    quint32 pop() { return m_buffer[size_t(m_head++) & m_mask]; }

    // The queue's state as plain values, for a loop that keeps it in
    // registers: cell stores through char pointers would otherwise force the
    // members to be reloaded after every store. Take it with view(), push and
    // pop through it, and hand it back with adopt() before the queue is used
    // again; a full view is grown with grow(view).
    struct View
    {
        quint32 *data;
        size_t mask;
        quint64 head;
        quint64 tail;

        bool empty() const { return head == tail; }
        bool full() const { return tail - head == mask + 1 || data == nullptr; }
        void push(quint32 index) { data[size_t(tail++) & mask] = index; }
        quint32 pop() { return data[size_t(head++) & mask]; }
        // The entry pop() returns after `ahead` more pops, or the next one when
        // the queue is shorter than that. Precondition: !empty().
        quint32 peek(size_t ahead) const { return data[size_t(head + ahead < tail ? head + ahead : head) & mask]; }
    };
    View view() { return {m_buffer.data(), m_mask, m_head, m_tail}; }
    void adopt(const View &view)
    {
        m_head = view.head;
        m_tail = view.tail;
    }
    void grow(View &view)
    {
        adopt(view);
        grow();
        view = this->view();
    }

private:
    void grow()
    {
        std::vector<quint32> bigger(m_buffer.empty() ? 1024 : m_buffer.size() * 2);
        for (quint64 i = m_head; i < m_tail; ++i)
            bigger[size_t(i - m_head)] = m_buffer[size_t(i) & m_mask];
        m_tail -= m_head;
        m_head = 0;
        m_buffer.swap(bigger);
        m_mask = m_buffer.size() - 1;
    }

    std::vector<quint32> m_buffer;
    size_t m_mask = 0;
    quint64 m_head = 0;
    quint64 m_tail = 0;
};
