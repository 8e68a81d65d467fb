// The dialogue's keyboard on a real pseudo-terminal standing in for standard input.
#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "app/console_keys.h"

namespace {

bool echoes(int fd) {
  termios modes;
  return tcgetattr(fd, &modes) == 0 && (modes.c_lflag & ECHO) && (modes.c_lflag & ICANON);
}

TEST(ConsoleKeys, TheTerminalStaysSwitchedBetweenKeysUntilTheDialogueEnds) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const int own_stdin = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
  ASSERT_TRUE(echoes(slave));

  ASSERT_EQ(write(master, "xy", 2), 2);
  signed char key = 0;
  std::string why;
  // A refused key and the next read: a key typed in between must not be echoed.
  ASSERT_TRUE(read_console_key(key, why)) << why;
  EXPECT_EQ(key, 'x');
  EXPECT_FALSE(echoes(slave));
  ASSERT_TRUE(read_console_key(key, why)) << why;
  EXPECT_EQ(key, 'y');
  EXPECT_FALSE(echoes(slave));

  end_raw_keys();
  EXPECT_TRUE(echoes(slave));
  end_raw_keys();  // twice is harmless
  EXPECT_TRUE(echoes(slave));

  dup2(own_stdin, STDIN_FILENO);
  close(own_stdin);
  close(slave);
  close(master);
}

}  // namespace
