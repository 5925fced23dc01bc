// The Linux stand-in's answers where the tests do not pin Windows' own: values that no
// integer can hold.
#include <gtest/gtest.h>

#include <limits>

#include "platform/com.h"
#include "support/hresult_checks.h"

TEST(variant_stand_in, not_a_number_converts_to_no_integer) {
    // A NaN used to be cast to the integer type, which is undefined behaviour.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (VARTYPE type : {VT_I1, VT_I2, VT_I4, VT_INT, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UINT, VT_UI8}) {
        for (VARTYPE from : {VT_R8, VT_R4, VT_DATE}) {
            VARIANT source;
            VariantInit(&source);
            source.vt = from;
            if (from == VT_R4) source.fltVal = std::numeric_limits<float>::quiet_NaN();
            else source.dblVal = nan;
            VARIANT result;
            VariantInit(&result);
            EXPECT_HR(DISP_E_OVERFLOW, VariantChangeType(&result, &source, 0, type)) << type << " from " << from;
            EXPECT_EQ(result.vt, VT_EMPTY);
        }
    }
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_R8;
    text.dblVal = nan;
    VARIANT result;
    VariantInit(&result);
    ASSERT_HR(S_OK, VariantChangeType(&result, &text, 0, VT_BOOL));  // not zero
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
}
