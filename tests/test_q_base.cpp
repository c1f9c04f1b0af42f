// labels: unit
#include <gtest/gtest.h>
#include "q_str.h"
TEST(Placeholder, Builds) { Q_STR *s = char_to_qstr("x"); EXPECT_EQ(s->length, 1u); free_qstr(&s); }
