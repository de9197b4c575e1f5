#include "update/update_description.h"

#include <gtest/gtest.h>

#include <clocale>

#include "host/sha256.h"
#include "update/version_text.h"

namespace tolvane {
namespace {

const std::string kHash(64, 'a');

std::string Good() {
    return "tolvane-update 1\n"
           "# the definitions of December\n"
           "version: 16\n"
           "file: /tolvane/files/database-16.db\n"
           "size: 2048\n"
           "sha256: " +
           kHash +
           "\n"
           "date: 2026-12-09\n"
           "product: definitions\n";
}

TEST(FormatVersion, ShowsTheLeadingNonZeroDecimals) {
    EXPECT_EQ(FormatVersion(3.45), "3.45");
    EXPECT_EQ(FormatVersion(15.0), "15");
    EXPECT_EQ(FormatVersion(2.5), "2.5");
    EXPECT_EQ(FormatVersion(3.05), "3");
    EXPECT_EQ(FormatVersion(16.05), "16");
    EXPECT_EQ(FormatVersion(4.0), "4");
    EXPECT_EQ(FormatVersion(3.5), "3.5");
    EXPECT_EQ(FormatVersion(0), "0");
    // At most six decimals.
    EXPECT_EQ(FormatVersion(1.1234567), "1.123457");
}

TEST(FormatVersion, SurvivesNumbersNoVersionHas) {
    EXPECT_EQ(FormatVersion(1e300).substr(0, 4), "1000");
    EXPECT_EQ(FormatVersion(std::numeric_limits<double>::quiet_NaN()), "0");
    EXPECT_EQ(FormatVersion(std::numeric_limits<double>::infinity()), "0");
    EXPECT_EQ(FormatVersion(-2.5), "-2.5");
}

TEST(FormatVersion, KeepsThePointInACommaLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale here";
    EXPECT_EQ(FormatVersion(3.45), "3.45");
    EXPECT_DOUBLE_EQ(VersionNumberFromText("3.45"), 3.45);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(VersionNumberFromText, ReadsLikeAtof) {
    EXPECT_DOUBLE_EQ(VersionNumberFromText("15"), 15);
    EXPECT_DOUBLE_EQ(VersionNumberFromText("  3.45 beta"), 3.45);
    EXPECT_DOUBLE_EQ(VersionNumberFromText("+2.5"), 2.5);
    EXPECT_DOUBLE_EQ(VersionNumberFromText("-1"), -1);
    EXPECT_DOUBLE_EQ(VersionNumberFromText(".5"), 0.5);
    EXPECT_DOUBLE_EQ(VersionNumberFromText("1e2"), 100);
    EXPECT_EQ(VersionNumberFromText(""), 0);
    EXPECT_EQ(VersionNumberFromText("beta"), 0);
    EXPECT_EQ(VersionNumberFromText("inf"), 0);
    EXPECT_EQ(VersionNumberFromText("nan"), 0);
    EXPECT_EQ(VersionNumberFromText("1e999"), 0);
    EXPECT_EQ(VersionNumberFromText("0x10"), 0);
}

TEST(ParseUpdateDescription, ReadsAGoodDescription) {
    UpdateDescription description;
    std::string error;
    ASSERT_TRUE(ParseUpdateDescription(Good(), &description, &error)) << error;
    EXPECT_EQ(description.version, 16);
    EXPECT_EQ(description.versionText, "16");
    EXPECT_EQ(description.file, "/tolvane/files/database-16.db");
    EXPECT_EQ(description.fileName, "database-16.db");
    EXPECT_EQ(description.size, 2048u);
    EXPECT_EQ(description.sha256, kHash);
    EXPECT_EQ(description.date, "2026-12-09");
    EXPECT_EQ(description.product, "definitions");

    // Windows line ends, blanks, upper-case hex, unknown names and a
    // missing last line end are all fine.
    std::string loose =
        "tolvane-update 1\r\n  version :  3.46 \r\nnotes: later formats may add this\r\n"
        "file: /a.tar.gz\r\nsize:1\r\ndate: 2024-02-29\r\nproduct:program\r\nsha256: " +
        std::string(64, 'F');
    ASSERT_TRUE(ParseUpdateDescription(loose, &description, &error)) << error;
    EXPECT_DOUBLE_EQ(description.version, 3.46);
    EXPECT_EQ(description.sha256, std::string(64, 'f'));
    EXPECT_EQ(description.fileName, "a.tar.gz");
}

TEST(ParseUpdateDescription, RefusesTruncatedAndIncompleteFiles) {
    UpdateDescription description;
    std::string error;
    std::string good = Good();
    // Every cut before the last field is complete loses a field or part of one.
    for (size_t length = 0; length + 1 < good.size(); ++length) {
        EXPECT_FALSE(ParseUpdateDescription(good.substr(0, length), &description, &error))
            << "cut at " << length;
    }
    EXPECT_FALSE(ParseUpdateDescription("", &description, &error));
    EXPECT_EQ(error, "empty");
    for (const char* field : {"version", "file", "size", "sha256", "date", "product"}) {
        std::string text = good;
        size_t at = text.find(std::string(field) + ":");
        text.erase(at, text.find('\n', at) + 1 - at);
        EXPECT_FALSE(ParseUpdateDescription(text, &description, &error)) << field;
        EXPECT_EQ(error, std::string(field) + " is missing");
    }
}

TEST(ParseUpdateDescription, RefusesHostileValues) {
    auto with = [](const std::string& name, const std::string& value) {
        std::string text = Good();
        size_t at = text.find(name + ":");
        size_t end = text.find('\n', at);
        return text.replace(at, end - at, name + ": " + value);
    };
    UpdateDescription description;
    std::string error;
    const std::pair<std::string, std::string> bad[] = {
        {"size", "0"},
        {"size", "1073741825"},  // above 1 GiB
        {"size", "99999999999999999999999"},
        {"size", "-1"},
        {"size", "12kB"},
        {"version", "3.45.1"},
        {"version", "-3"},
        {"version", "1e9"},
        {"version", "nan"},
        {"version", "1234567890123456"},
        {"version", ""},
        {"file", "database.db"},
        {"file", "/"},
        {"file", "/tolvane/../../etc/passwd"},
        {"file", "/tolvane/./x"},
        {"file", "/tolvane//x"},
        {"file", "/tolvane/.hidden"},
        {"file", "/x?y=1"},
        {"file", "//evil.example/x"},
        {"file", "/a\\..\\b"},
        {"file", "/" + std::string(101, 'a')},
        {"sha256", std::string(63, 'a')},
        {"sha256", std::string(65, 'a')},
        {"sha256", std::string(63, 'a') + "g"},
        {"date", "2026-02-30"},
        {"date", "2026-13-01"},
        {"date", "2026-12-9"},
        {"date", "09.12.2026"},
        {"date", "2026-12-09T10:00"},
        {"product", "Tolvane Database"},
        {"product", ""},
    };
    for (const auto& [name, value] : bad) {
        EXPECT_FALSE(ParseUpdateDescription(with(name, value), &description, &error))
            << name << ": " << value;
        EXPECT_NE(error.find("line "), std::string::npos) << error;
    }
    EXPECT_TRUE(ParseUpdateDescription(with("size", "1073741824"), &description, &error));
}

TEST(ParseUpdateDescription, RefusesOtherFiles) {
    UpdateDescription description;
    std::string error;
    EXPECT_FALSE(
        ParseUpdateDescription("<html><body>Not Found</body></html>", &description, &error));
    EXPECT_EQ(error, "line 1: not \"tolvane-update 1\"");
    EXPECT_FALSE(
        ParseUpdateDescription("tolvane-update 2\n" + Good().substr(17), &description, &error));
    EXPECT_FALSE(ParseUpdateDescription(Good() + "version: 17\n", &description, &error));
    EXPECT_EQ(error, "line 9: version given twice");
    EXPECT_FALSE(ParseUpdateDescription(Good() + "no separator here\n", &description, &error));
    std::string withZero = Good();
    withZero[20] = '\0';
    EXPECT_FALSE(ParseUpdateDescription(withZero, &description, &error));
    EXPECT_FALSE(ParseUpdateDescription(Good() + std::string(kMaxUpdateDescriptionBytes, '#'),
                                        &description, &error));
    EXPECT_EQ(error, "too large");
}

TEST(Sha256, MatchesKnownDigests) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 pieces;
    pieces.Update("a");
    pieces.Update("bc");
    EXPECT_EQ(pieces.FinishHex(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tolvane
