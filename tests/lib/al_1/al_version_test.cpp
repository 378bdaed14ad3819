/* The release text and the version banner. */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "al_env.h"
#include "al_version.h"

namespace {

std::string banner(int full)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buf, &size);
    al_print_version(out, "prog", full);
    std::fclose(out);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

TEST(Release, TextIsMajorPointMinor)
{
    EXPECT_STREQ(al_release_text(), "6.2");
}

TEST(VersionBanner, FullBannerAddsTheDatabaseLine)
{
    unsetenv("CONFIGSPEC");
    std::string short_banner = banner(0);
    std::string full_banner = banner(1);
    EXPECT_EQ(short_banner.rfind("prog version ", 0), 0u);
    EXPECT_EQ(short_banner.find("Database interface"), std::string::npos);
    EXPECT_NE(full_banner.find("Database interface: tdb 6.2"), std::string::npos);
    EXPECT_EQ(full_banner.rfind(short_banner, 0), 0u)
        << "the fuller banner extends the short one";
}

TEST(VersionBanner, ConfigSpecOnlyWhenExactlyPrint)
{
    setenv("CONFIGSPEC", "print", 1);
    EXPECT_EQ(banner(0).find("Config spec: "), std::string::npos);
    setenv("CONFIGSPEC", "PRINT", 1);
    std::string text = banner(0);
    EXPECT_NE(text.find("\nConfig spec: \n"), std::string::npos);
    EXPECT_NE(text.find("  build type "), std::string::npos);
    unsetenv("CONFIGSPEC");
}

} // namespace
