// The lenient hex number reader every field of both file formats goes through.
#include <gtest/gtest.h>

#include "download/FirmwareReader.h"

namespace {

struct SParseCase {
    std::string_view text;
    uint32_t nExpected;
};

class ParseHexTest : public ::testing::TestWithParam<SParseCase> {};

TEST_P(ParseHexTest, ReadsTheLeadingNumber)
{
    const SParseCase& c = GetParam();
    EXPECT_EQ(ParseHex(c.text), c.nExpected) << "text: \"" << c.text << "\"";
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Cases, ParseHexTest,
                         ::testing::Values(SParseCase {"", 0}, SParseCase {"1A", 0x1A},
                                           SParseCase {" \t\n\v\f\r1a", 0x1A},  // every kind of leading blank
                                           SParseCase {"+ff", 0xFF}, SParseCase {"-1", 0xFFFFFFFF},
                                           SParseCase {"-10", 0xFFFFFFF0}, SParseCase {"0x1F", 0x1F},
                                           SParseCase {"0XaBcD", 0xABCD}, SParseCase {"-0x2", 0xFFFFFFFE},
                                           SParseCase {"deadBEEF", 0xDEADBEEF}, SParseCase {"FFFFFFFF", 0xFFFFFFFF},
                                           SParseCase {"100000000", 0xFFFFFFFF}, SParseCase {"-100000000", 0xFFFFFFFF},
                                           SParseCase {"123456789ABCDEF0", 0xFFFFFFFF},
                                           SParseCase {"0000000000012345678", 0x12345678},  // zeros are no overflow
                                           SParseCase {"zz", 0}, SParseCase {"0x", 0}, SParseCase {"-", 0},
                                           SParseCase {"+-1", 0}, SParseCase {"- 1", 0}, SParseCase {"0x0x1", 0},
                                           SParseCase {"12 34", 0x12}, SParseCase {"1g", 1}, SParseCase {"7;8", 7},
                                           SParseCase {"1\0"
                                                       "2"sv,
                                                       1},  // a NUL ends the number
                                           SParseCase {"\0"
                                                       "12"sv,
                                                       0},                              // and is no blank
                                           SParseCase {"1234"sv.substr(0, 2), 0x12}));  // nothing read past the view

}  // namespace
