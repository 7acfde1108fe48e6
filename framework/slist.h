#pragma once
/// @file
///
/// slist<T>: the intrusive, doubly linked, counted list that carries the holders
/// of a guarded object. It does not own the listed objects, only its items.
///
///   sitem<T>: [next][prevLink -> the pointer that points at this item][item]
///   slist<T>: [vtable: push_front, eraseitem][head][unsigned count]
///
/// The layout and the two virtual operations are shared across modules: a
/// guarded object's list is erased from by whichever module's code releases a
/// reference, so `eraseitem` is reached through the table of the list as its
/// owner built it (see CMN_ListAsBuilt). The list has no lock of its own; its
/// owner guards it.

template <class T>
class slist;
template <class T>
slist<T>* CMN_ListAsBuilt(slist<T>* list);

/// One item of an slist: links to its neighbours and the listed object,
/// which it does not own. Allocated and freed by the module that built the list.
template <class T>
struct sitem {
    sitem* next;       ///< the next (older) item, or null
    sitem** prevLink;  ///< the pointer that points at this item: the list's head or the previous item's next
    T* item;           ///< the listed object
};

/// The holder list of a guarded object, newest first; guarded by its owner
/// (CMN_GuardedRef::holderLock), never by itself.
template <class T>
class slist {
public:
    /// An empty list.
    slist() : head(nullptr), count(0) {}
    slist(slist const&) = delete;
    slist& operator=(slist const&) = delete;
    /// Not virtual (the layout has no destructor slot): erases every item,
    /// each through the table.
    ~slist() {
        while (head != nullptr) CMN_ListAsBuilt(this)->eraseitem(head);
    }

    /// Links a new item for `x` at the front and returns it.
    virtual sitem<T>* push_front(T* x) { return link_front(x); }

    /// Unlinks and frees `it` (not the listed object); null is ignored.
    virtual void eraseitem(sitem<T>* it) {
        if (it == nullptr) return;
        *it->prevLink = it->next;
        if (it->next != nullptr) it->next->prevLink = it->prevLink;
        delete it;
        --count;
    }

    /// The steps of push_front without the virtual dispatch, for the owner's
    /// own insertions.
    sitem<T>* link_front(T* x) {
        sitem<T>* it = new sitem<T>{head, &head, x};
        if (head != nullptr) head->prevLink = &it->next;
        head = it;
        ++count;
        return it;
    }

    /// The newest item, or null when the list is empty.
    sitem<T>* head;
    /// The number of items.
    unsigned int count;
};

/// The list `list` points at, as the module that built it made it. A list that
/// is a member of a guarded object may come from another module, whose table
/// holds its own eraseitem and push_front; the compiler, seeing a member of a
/// known class, would otherwise call this module's code directly (inline, or
/// bound statically). The empty asm makes the pointer opaque, so a call through
/// the result reads the list's table, as the shared layout promises. Breaking
/// this (calling `holders.eraseitem(...)` on the member itself) makes another
/// module's items be freed by this module's code.
template <class T>
inline slist<T>* CMN_ListAsBuilt(slist<T>* list) {
    asm("" : "+r"(list));
    return list;
}
