// The engineer's password hash: Argon2id strings with a salt of their own,
// matching only their password; anything else in the settings matches
// nothing.
#include <gtest/gtest.h>

#include <string>

#include "production/engineer_password.h"

namespace {

using velkan::production::EngineerPasswordMatches;
using velkan::production::HashEngineerPassword;

TEST(EngineerPasswordTest, SaltedArgon2idHashesMatchOnlyTheirPassword) {
  if (!velkan::production::PasswordHashingAvailable()) GTEST_SKIP() << "built without libsodium";
  std::string first, second, error;
  ASSERT_TRUE(HashEngineerPassword("bench-42", first, error)) << error;
  ASSERT_TRUE(HashEngineerPassword("bench-42", second, error)) << error;
  EXPECT_EQ(first.rfind("$argon2id$", 0), 0u) << first;
  EXPECT_EQ(first.find("bench-42"), std::string::npos);
  EXPECT_NE(first, second) << "each hash has a salt of its own";

  EXPECT_TRUE(EngineerPasswordMatches("bench-42", first));
  EXPECT_TRUE(EngineerPasswordMatches("bench-42", second));
  EXPECT_FALSE(EngineerPasswordMatches("bench-43", first));
  EXPECT_FALSE(EngineerPasswordMatches("", first));
  EXPECT_FALSE(EngineerPasswordMatches("bench-42", ""));
  EXPECT_FALSE(EngineerPasswordMatches("bench-42", "bench-42"));
  EXPECT_FALSE(EngineerPasswordMatches("bench-42", first.substr(0, first.size() - 4)));
  // The same string under another algorithm's name is not taken.
  std::string argon2i = first;
  argon2i.replace(0, 10, "$argon2i$");
  EXPECT_FALSE(EngineerPasswordMatches("bench-42", argon2i));
}

}  // namespace
