#include "id_type.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// An identifier of either kind whose val_comp records that it ran.
class SpyID : public TypifiedID {
public:
    explicit SpyID(IDType_t kind, int answer = 0) : TypifiedID(kind), answer(answer) {}
    int val_comp(TypifiedID const& other) const override {
        ++calls;
        lastOther = &other;
        return answer;
    }
    void dump() const override {}

    int answer;
    mutable int calls = 0;
    mutable TypifiedID const* lastOther = nullptr;
};

}  // namespace

TEST(TypifiedID, NullAndEmptySourcesGiveTheSameEmptyString) {
    TstringID fromNull(nullptr), fromEmpty("");
    ASSERT_NE(fromNull.value, nullptr);
    ASSERT_NE(fromEmpty.value, nullptr);
    EXPECT_STREQ(fromNull.value, "");
    EXPECT_STREQ(fromEmpty.value, "");
    EXPECT_NE(fromNull.value, fromEmpty.value);
    EXPECT_TRUE(fromNull == fromEmpty);
    EXPECT_TRUE(fromEmpty == fromNull);
    EXPECT_EQ(fromNull.type, IDT_STRING);
}

TEST(TypifiedID, StringCopyOwnsItsArrayAndOutlivesTheSource) {
    char source[] = "ZIP";
    auto original = std::make_unique<TstringID>(source);
    EXPECT_NE(original->value, source) << "the identifier copies its source";
    source[0] = 'X';
    EXPECT_STREQ(original->value, "ZIP");

    TstringID copy(*original);
    EXPECT_NE(copy.value, original->value);
    EXPECT_TRUE(copy == *original);
    original.reset();
    EXPECT_STREQ(copy.value, "ZIP");
    EXPECT_TRUE(copy == TstringID("ZIP"));

    Tuint32ID number(111);
    Tuint32ID numberCopy(number);
    EXPECT_EQ(numberCopy.type, IDT_UINT32);
    EXPECT_EQ(numberCopy.value, 111u);
    EXPECT_TRUE(numberCopy == number);
}

TEST(TypifiedID, EqualityNeedsTheSameKindBeforeAnyValueComparison) {
    EXPECT_FALSE(Tuint32ID(0) == TstringID(""));
    EXPECT_FALSE(TstringID("") == Tuint32ID(0));
    EXPECT_FALSE(Tuint32ID(64) == TstringID("64"));

    // Kinds differ: val_comp of neither side is asked.
    SpyID numeric(IDT_UINT32), string(IDT_STRING);
    EXPECT_FALSE(numeric == TstringID("ZIP"));
    EXPECT_FALSE(string == Tuint32ID(64));
    EXPECT_EQ(numeric.calls + string.calls, 0);

    // Same kind: the left operand's val_comp decides, with the right one as argument.
    Tuint32ID right(5);
    EXPECT_TRUE(numeric == right);
    EXPECT_EQ(numeric.calls, 1);
    EXPECT_EQ(numeric.lastOther, &right);
    SpyID refuses(IDT_UINT32, -1);
    EXPECT_FALSE(refuses == right);
    EXPECT_TRUE(right == Tuint32ID(5));
}

TEST(TypifiedID, StringsCompareByteByByteAndCaseSensitively) {
    TstringID zip("ZIP");
    EXPECT_TRUE(zip == TstringID("ZIP"));
    EXPECT_FALSE(zip == TstringID("zip"));
    EXPECT_FALSE(zip == TstringID("ZIP "));
    EXPECT_FALSE(zip == TstringID("ZI"));
    // The sign tells how the argument orders against this.
    EXPECT_GT(zip.val_comp(TstringID("ZIQ")), 0);
    EXPECT_LT(zip.val_comp(TstringID("ZIO")), 0);
    EXPECT_EQ(zip.val_comp(TstringID("ZIP")), 0);
    EXPECT_LT(zip.val_comp(TstringID("")), 0);
}

TEST(TypifiedID, NumbersCompareUnsigned) {
    EXPECT_EQ(Tuint32ID(64).val_comp(Tuint32ID(111)), 1);
    EXPECT_EQ(Tuint32ID(111).val_comp(Tuint32ID(64)), -1);
    EXPECT_EQ(Tuint32ID(64).val_comp(Tuint32ID(64)), 0);
    EXPECT_EQ(Tuint32ID(0).val_comp(Tuint32ID(UINT32_MAX)), 1);
    EXPECT_EQ(Tuint32ID(UINT32_MAX).val_comp(Tuint32ID(0)), -1);
    EXPECT_TRUE(Tuint32ID(UINT32_MAX) == Tuint32ID(UINT32_MAX));
    EXPECT_FALSE(Tuint32ID(64) == Tuint32ID(111));
}

TEST(TypifiedID, DumpProducesNothing) {
    Tuint32ID number(64);
    TstringID string("ZIP");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    number.dump();
    string.dump();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(number.value, 64u);
    EXPECT_STREQ(string.value, "ZIP");
}
