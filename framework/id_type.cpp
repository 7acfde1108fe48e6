#include "id_type.h"

#include <cstring>

TypifiedID::TypifiedID(IDType_t t) : type(t) {}
TypifiedID::TypifiedID(TypifiedID const& other) : type(other.type) {}
TypifiedID::~TypifiedID() = default;

bool TypifiedID::operator==(TypifiedID const& other) const {
    if (other.type != type) return false;
    return val_comp(other) == 0;
}

Tuint32ID::Tuint32ID(unsigned int v) : TypifiedID(IDT_UINT32), value(v) {}
Tuint32ID::Tuint32ID(Tuint32ID const& other) : TypifiedID(other), value(other.value) {}
Tuint32ID::~Tuint32ID() = default;

int Tuint32ID::val_comp(TypifiedID const& other) const {
    unsigned int theirs = static_cast<Tuint32ID const&>(other).value;
    if (theirs > value) return 1;
    if (theirs < value) return -1;
    return 0;
}

void Tuint32ID::dump() const {}

// If the allocation in init() throws, the base part is torn down by the
// language and the failure reaches the caller: no half-built identifier.
TstringID::TstringID(char const* s) : TypifiedID(IDT_STRING), value(nullptr) { init(s); }

TstringID::TstringID(TstringID const& other) : TypifiedID(other), value(nullptr) { init(other.value); }

TstringID::~TstringID() {
    if (value != nullptr) delete[] value;
}

int TstringID::val_comp(TypifiedID const& other) const {
    return std::strcmp(static_cast<TstringID const&>(other).value, value);
}

void TstringID::dump() const {}

void TstringID::init(char const* s) {
    if (s == nullptr) {
        value = new char[1];
        value[0] = '\0';
        return;
    }
    std::size_t n = std::strlen(s);
    value = new char[n + 1];
    if (n != 0)
        std::strcpy(value, s);
    else
        value[0] = '\0';
}
