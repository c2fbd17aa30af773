#include "OrvError.h"

#include <gtest/gtest.h>

TEST(OrvErrorTest, FillsTokens) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "7");
    char message[1025] = {};
    char sqlstate[6] = {};
    error.getError(message, sizeof(message), sqlstate);
    EXPECT_STREQ("The file for segment 7 could not be found.", message);
    EXPECT_STREQ("FM001", sqlstate);
}
