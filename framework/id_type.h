#pragma once
/// @file
///
/// Typed identifiers: the names of modules and services.
///
/// An identifier is either a 32-bit number (Tuint32ID) or a character string
/// (TstringID). Two identifiers are equal only when they are of the same kind
/// and carry the same value. Identifiers cross module boundaries by reference
/// and are compared there, so their layout and the order of their virtual
/// operations are shared by every module of the host:
///
///   TypifiedID: [vtable][type]          vtable: ~dtor, ~dtor(deleting), val_comp, dump
///   Tuint32ID:  [vtable][type=0][value]
///   TstringID:  [vtable][type=1][value -> owned NUL-terminated array]
///
/// Identifiers are set once at construction and have no assignment.

/// The kind of an identifier, stored in TypifiedID::type.
enum IDType_t : unsigned int {
    IDT_UINT32 = 0,  ///< a Tuint32ID
    IDT_STRING = 1,  ///< a TstringID
};

/// An identifier of either kind, as modules pass it to each other (by
/// reference; owned by whoever made it, never freed by the receiver).
class TypifiedID {
public:
    /// Sets the kind; the derived class sets the value.
    explicit TypifiedID(IDType_t type);
    /// Copies the kind.
    TypifiedID(TypifiedID const& other);
    TypifiedID& operator=(TypifiedID const&) = delete;
    /// Releases what the derived identifier owns (a TstringID's text).
    virtual ~TypifiedID();

    /// Sign of the argument's order against this value (positive: the argument
    /// sorts after). Reads `other` as an identifier of this class without
    /// checking its kind: reach it through operator==, which compares kinds.
    virtual int val_comp(TypifiedID const& other) const = 0;
    /// A debugging hook; the framework's identifiers write nothing.
    virtual void dump() const = 0;

    /// Same kind, and this->val_comp(other) == 0. The left operand's class
    /// decides how values compare.
    bool operator==(TypifiedID const& other) const;

    /// The kind, fixed at construction.
    IDType_t type;
};

/// A numeric identifier: a service's number (111 the byte-buffer service, 64
/// the zlib service) or a module's.
class Tuint32ID : public TypifiedID {
public:
    /// The identifier `value`.
    explicit Tuint32ID(unsigned int value);
    /// The same number.
    Tuint32ID(Tuint32ID const& other);
    ~Tuint32ID() override;  ///< owns nothing

    /// 1 when other.value > value, -1 when smaller, 0 when equal (unsigned).
    int val_comp(TypifiedID const& other) const override;
    void dump() const override;  ///< produces nothing

    /// The number, fixed at construction.
    unsigned int value;
};

/// A text identifier: a module's name ("ZIP", "TBUF", "HOST") or a
/// service's ("ZIP"). It owns a copy of its text.
class TstringID : public TypifiedID {
public:
    /// A null source gives the empty identifier "".
    explicit TstringID(char const* s);
    /// Deep copy: the two objects never share their character arrays.
    TstringID(TstringID const& other);
    ~TstringID() override;  ///< releases the text

    /// strcmp(other's string, this string): byte by byte, case-sensitive.
    int val_comp(TypifiedID const& other) const override;
    void dump() const override;  ///< produces nothing

    /// Never null after construction; owned, released with delete[].
    char* value;

private:
    /// Shared construction step; does not release an earlier string.
    void init(char const* s);
};
