#include <gtest/gtest.h>

#include "log/USB_Logger.hpp"
#include "scenario.hpp"

namespace {

int64_t ticks_of(int year, int month, int day, int h = 0, int m = 0, int s = 0, int us = 0) {
    // Days from civil (inverse of the logger's breakdown), for fixed test dates.
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return ((days * 86400 + h * 3600 + m * 60 + s) * 1000000 + us) * 10;
}

int64_t today(int year, int month, int day) { return logrules::day_number(year, month, day); }

TEST(LoggerRules, NameAndStampFromUtcTicks) {
    const LogDateTime t = logrules::breakdown_utc(ticks_of(2026, 12, 5, 9, 7, 3, 4512));
    EXPECT_EQ(logrules::log_file_name(t), "zel_USB_Logger_5_12_2026.log");
    EXPECT_EQ(logrules::time_stamp(t), "5/12/2026 09:07:03.004512");

    const LogDateTime leap = logrules::breakdown_utc(ticks_of(2028, 2, 29, 23, 59, 59, 999999));
    EXPECT_EQ(logrules::time_stamp(leap), "29/2/2028 23:59:59.999999");
    EXPECT_EQ(logrules::log_file_name(logrules::breakdown_utc(ticks_of(2027, 1, 1))), "zel_USB_Logger_1_1_2027.log");
}

TEST(LoggerRules, RetentionKeepsTodayAndTwoRoughDaysBefore) {
    const int64_t dec5 = today(2026, 12, 5);
    EXPECT_FALSE(logrules::is_old_log_file("zel_USB_Logger_5_12_2026.log", dec5));
    EXPECT_FALSE(logrules::is_old_log_file("zel_USB_Logger_4_12_2026.log", dec5));
    EXPECT_FALSE(logrules::is_old_log_file("zel_USB_Logger_3_12_2026.log", dec5));
    EXPECT_TRUE(logrules::is_old_log_file("zel_USB_Logger_2_12_2026.log", dec5));
    // A file from the future (clock set back) stays.
    EXPECT_FALSE(logrules::is_old_log_file("zel_USB_Logger_6_12_2026.log", dec5));
}

TEST(LoggerRules, RetentionAcrossMonthAndYearBoundaries) {
    // The rough count gives every month 31 days: on 1 March, 28 February is already old.
    EXPECT_TRUE(logrules::is_old_log_file("zel_USB_Logger_28_2_2027.log", today(2027, 3, 1)));
    const int64_t jan1 = today(2027, 1, 1);
    for (int day = 1; day <= 31; ++day) {
        const std::string name = "zel_USB_Logger_" + std::to_string(day) + "_12_2026.log";
        EXPECT_EQ(logrules::is_old_log_file(name, jan1), day <= 22) << name;
    }
}

TEST(LoggerRules, NamesNotOfOurPatternAreNeverDeleted) {
    const int64_t dec5 = today(2026, 12, 5);
    for (const char* name : {"zel_USB_Logger", "zel_USB_Logger_", "zel_USB_Logger_x_y_z.log", "copy of zel_USB_Logger_1_1_2020.log",
                             "zel_USB_Logger_1_1_2020.log.bak", "zel_USB_Logger_1_1_2020.txt", "zel_USB_Logger_1__2020.log",
                             "zel_USB_Logger_99999999999999999999_1_2020.log"}) {
        EXPECT_FALSE(logrules::is_old_log_file(name, dec5)) << name;
    }
}

class LoggerRun : public ::testing::Test {
protected:
    scenario::Scenario s;
};

TEST_F(LoggerRun, StartListsOurFilesDeletesOldOnesAndLogsTheVersionLine) {
    s.platform.files = {{"zel_USB_Logger_2_12_2026.log", "old\n"},
                        {"notes.txt", "x"},
                        {"zel_USB_Logger_4_12_2026.log", "keep\n"},
                        {"my zel_USB_Logger backup", "mine"},
                        {"zel_usb_logger_1_1_2000.log", "other case"}};
    EXPECT_EQ(s.run({}), 0);
    // "Found file" lines for every name holding the prefix, in listing order,
    // then the version line, then the usage text.
    const std::string expected_start =
        "Found file zel_USB_Logger_2_12_2026.log\n"
        "Found file zel_USB_Logger_4_12_2026.log\n"
        "Found file my zel_USB_Logger backup\n"
        "torvane_com_device_class version: 2.0.2+45\n"
        "\nDEVICE INFORMATION\n";
    EXPECT_EQ(s.platform.out.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(s.platform.file("zel_USB_Logger_2_12_2026.log"), nullptr);
    ASSERT_NE(s.platform.file("zel_USB_Logger_4_12_2026.log"), nullptr);
    EXPECT_NE(s.platform.file("notes.txt"), nullptr);
    EXPECT_NE(s.platform.file("my zel_USB_Logger backup"), nullptr);
    EXPECT_NE(s.platform.file("zel_usb_logger_1_1_2000.log"), nullptr);
    ASSERT_NE(s.platform.file("zel_USB_Logger_5_12_2026.log"), nullptr);
    EXPECT_EQ(*s.platform.file("zel_USB_Logger_5_12_2026.log"),
              "[5/12/2026 09:07:03.004512] INFO: torvane_com_device_class version: 2.0.2+45\n");
}

TEST_F(LoggerRun, SecondRunOnTheSameDayAppendsToTodaysFile) {
    s.run({});
    s.platform.out.clear();
    s.platform.advance(10000000);  // one second later
    s.run({});
    EXPECT_EQ(s.platform.out.rfind("Found file zel_USB_Logger_5_12_2026.log\n", 0), 0u);
    EXPECT_EQ(*s.platform.file("zel_USB_Logger_5_12_2026.log"),
              "[5/12/2026 09:07:03.004512] INFO: torvane_com_device_class version: 2.0.2+45\n"
              "[5/12/2026 09:07:04.004512] INFO: torvane_com_device_class version: 2.0.2+45\n");
}

TEST_F(LoggerRun, LevelsConsoleAndFileLines) {
    zel::set_active_platform(&s.platform);
    USB_Logger::Discard();
    USB_Logger* log = USB_Logger::Instance();
    s.platform.out.clear();
    log->Error("E %d\n", 1);
    log->Warning("W %s", "two");
    log->Info("I\r\n");
    EXPECT_EQ(s.platform.out, "E 1\nW twoI\r\n");
    const auto entries = s.log();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(s.platform.appended[1], "[5/12/2026 09:07:03.004512] ERROR: E 1\n");
    EXPECT_EQ(s.platform.appended[2], "[5/12/2026 09:07:03.004512] WARNING: W two");
    EXPECT_EQ(s.platform.appended[3], "[5/12/2026 09:07:03.004512] INFO: I\r\n");
    USB_Logger::Discard();
}

TEST_F(LoggerRun, OverlongTextIsCutTo1023CharactersEverywhere) {
    zel::set_active_platform(&s.platform);
    USB_Logger::Discard();
    USB_Logger* log = USB_Logger::Instance();
    s.platform.out.clear();
    const std::string big(5000, 'x');
    log->Info("%s|tail", big.c_str());
    EXPECT_EQ(s.platform.out, std::string(1023, 'x'));
    EXPECT_EQ(s.platform.appended.back(), "[5/12/2026 09:07:03.004512] INFO: " + std::string(1023, 'x'));
    USB_Logger::Discard();
}

TEST_F(LoggerRun, UnwritableDirectoryStillShowsEverythingOnTheConsole) {
    // The operation runs as usual; only the file is missing.
    s.platform.files_writable = false;
    s.attach();
    EXPECT_EQ(s.run({"-hinfo"}), 0);
    for (const char* text : {"torvane_com_device_class version: 2.0.2+45\n", "HUB version 2.0.0 or higher!!\n",
                             "Unique ID number for HUB is: \n"}) {
        EXPECT_NE(s.platform.out.find(text), std::string::npos) << text;
    }
    EXPECT_TRUE(s.platform.files.empty());
}

}  // namespace
