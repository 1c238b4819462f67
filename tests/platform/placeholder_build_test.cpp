#include <gtest/gtest.h>

#include "messaging/Message.h"

TEST(MessageLayout, HeaderIsFortyBytes) { EXPECT_EQ(sizeof(MsgHeader), 40u); }
