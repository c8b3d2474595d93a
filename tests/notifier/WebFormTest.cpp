#include "WebForm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using openutils::WebForm;
using openutils::WebFormException;
using openutils::isUrlSafeChar;
using openutils::queryString;
using openutils::urlEncode;

TEST(WebForm, OnlyAsciiLettersAndDigitsAreSafe) {
    for (int byte = 0; byte < 256; ++byte) {
        const bool expected = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                              (byte >= '0' && byte <= '9');
        EXPECT_EQ(isUrlSafeChar(static_cast<unsigned char>(byte)), expected) << byte;
    }
}

TEST(WebForm, UrlEncodeKeepsLettersAndDigitsAndEscapesTheRest) {
    EXPECT_EQ(urlEncode(""), "");
    EXPECT_EQ(urlEncode("AZaz09"), "AZaz09");
    EXPECT_EQ(urlEncode("a b  c"), "a+b++c");
    EXPECT_EQ(urlEncode("/"), "%2f");
    EXPECT_EQ(urlEncode("x/y.z-_~%+&="), "x%2fy%2ez%2d%5f%7e%25%2b%26%3d");
    EXPECT_EQ(urlEncode("\n"), "%0a");
    EXPECT_EQ(urlEncode(std::string("\0\x01\x1f\x7f", 4)), "%00%01%1f%7f");
    EXPECT_EQ(urlEncode("\xE9"), "%e9");
    EXPECT_EQ(urlEncode("\x80\xC9\xFF"), "%80%c9%ff");
}

TEST(WebForm, QueryJoinsEncodedPairsInOrder) {
    EXPECT_EQ(queryString({}, {}), "");
    EXPECT_EQ(queryString({"a b", "n"}, {"x/y", "1"}), "a+b=x%2fy&n=1");
    EXPECT_EQ(queryString({"only"}, {""}), "only=");
}

TEST(WebForm, ReadBeforeSendThrows) {
    WebForm form;
    std::vector<char> buffer(11, 'x');
    try {
        form.readResponse(buffer.data(), 10);
        FAIL() << "no exception";
    } catch (WebFormException e) {
        EXPECT_EQ(e.getMessage(), "No request made to server !");
    }
    EXPECT_EQ(buffer[0], 'x');
}

}  // namespace
