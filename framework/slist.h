#pragma once
// slist<T>: the intrusive, doubly linked, counted list that carries the holders
// of a guarded object. It does not own the listed objects, only its items.
//
//   sitem<T>: [next][prevLink -> the pointer that points at this item][item]
//   slist<T>: [vtable: push_front, eraseitem][head][unsigned count]
//
// The layout and the two virtual operations are shared across modules: a
// guarded object's list is erased from by whichever module's code releases a
// reference, so `eraseitem` is reached through the table. The list has no lock
// of its own; its owner guards it.

template <class T>
struct sitem {
    sitem* next;
    sitem** prevLink;
    T* item;
};

template <class T>
class slist {
public:
    slist() : head(nullptr), count(0) {}
    slist(slist const&) = delete;
    slist& operator=(slist const&) = delete;
    // Not virtual (the layout has no destructor slot): erases every item.
    ~slist() {
        while (head != nullptr) eraseitem(head);
    }

    // Links a new item for `x` at the front and returns it.
    virtual sitem<T>* push_front(T* x) { return link_front(x); }

    // Unlinks and frees `it` (not the listed object); null is ignored.
    virtual void eraseitem(sitem<T>* it) {
        if (it == nullptr) return;
        *it->prevLink = it->next;
        if (it->next != nullptr) it->next->prevLink = it->prevLink;
        delete it;
        --count;
    }

    // The steps of push_front without the virtual dispatch, for the owner's
    // own insertions.
    sitem<T>* link_front(T* x) {
        sitem<T>* it = new sitem<T>{head, &head, x};
        if (head != nullptr) head->prevLink = &it->next;
        head = it;
        ++count;
        return it;
    }

    sitem<T>* head;
    unsigned int count;
};
