#include <widgetkit/console.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int kDefault = UX_COLOR_DEFAULT;
constexpr int kRed = 1, kGreen = 2, kYellow = 3, kBlue = 4, kWhite = 7;

TEST(ConsoleColor, AttributeFromColours)
{
    EXPECT_EQ(ux_console_color_attribute(kDefault, kDefault), 7);
    EXPECT_EQ(ux_console_color_attribute(kRed, kGreen), 4 + 32);
    EXPECT_EQ(ux_console_color_attribute(kBlue, kYellow), 1 + 64 + 32);
    EXPECT_EQ(ux_console_color_attribute(kWhite, kBlue), 7 + 16);
    // The console's log colours: bright yellow, green and red on the default.
    EXPECT_EQ(ux_console_color_attribute(kYellow | UX_COLOR_BRIGHT, kDefault), 4 + 2 + 8);
    EXPECT_EQ(ux_console_color_attribute(kGreen | UX_COLOR_BRIGHT, kDefault), 2 + 8);
    EXPECT_EQ(ux_console_color_attribute(kRed | UX_COLOR_BRIGHT, kDefault), 4 + 8);
}

TEST(ConsoleColor, NoColourBrightAndDefaultFlags)
{
    // A foreground replaces the default white even when it has no colour.
    EXPECT_EQ(ux_console_color_attribute(UX_COLOR_NONE | kGreen, kDefault), 0);
    EXPECT_EQ(ux_console_color_attribute(UX_COLOR_NONE, kDefault), 0);
    EXPECT_EQ(ux_console_color_attribute(UX_COLOR_NONE | UX_COLOR_BRIGHT, kDefault), 8);
    EXPECT_EQ(ux_console_color_attribute(kDefault, UX_COLOR_NONE | kGreen), 7);
    EXPECT_EQ(ux_console_color_attribute(kDefault, UX_COLOR_NONE | UX_COLOR_BRIGHT | kGreen), 7 + 128);
    EXPECT_EQ(ux_console_color_attribute(kDefault, kGreen | UX_COLOR_BRIGHT), 7 + 32 + 128);
    // 9 in the low four bits is the default whatever the other bits say.
    EXPECT_EQ(ux_console_color_attribute(kDefault | UX_COLOR_BRIGHT, kDefault | UX_COLOR_BRIGHT), 7);
    EXPECT_EQ(ux_console_color_attribute(0, 0), 0);
}

TEST(ConsoleColor, AnsiSequences)
{
    EXPECT_EQ(ux_console_ansi_sequence(7), "\x1b[0m");
    EXPECT_EQ(ux_console_ansi_sequence(4 + 32), "\x1b[0;31;42m");
    EXPECT_EQ(ux_console_ansi_sequence(4 + 2 + 8), "\x1b[0;93m");
    EXPECT_EQ(ux_console_ansi_sequence(0), "\x1b[0;30m");
    EXPECT_EQ(ux_console_ansi_sequence(7 + 128), "\x1b[0;100m");
    EXPECT_EQ(ux_console_ansi_sequence(0xFF), "\x1b[0;97;107m");
    EXPECT_EQ(ux_console_ansi_sequence(2 + 16 + 64), "\x1b[0;32;45m");
}

// Points standard output and error elsewhere for the length of a test.
class RedirectedStreams
{
public:
    RedirectedStreams(int out, int err)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        m_out = dup(STDOUT_FILENO);
        m_err = dup(STDERR_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
    }
    ~RedirectedStreams()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(m_out, STDOUT_FILENO);
        dup2(m_err, STDERR_FILENO);
        close(m_out);
        close(m_err);
    }

private:
    int m_out;
    int m_err;
};

std::string ReadAvailable(int fd)
{
    std::string data;
    char buffer[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

TEST(ConsoleColor, WritesEscapesOnlyToTerminals)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);

    int created = -1;
    {
        RedirectedStreams redirect(slave, pipeFds[1]);
        created = ux_console_create();
        ux_console_set_color(kRed, kGreen);
        ux_console_set_color(kDefault, kDefault);
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(ReadAvailable(master), "\x1b[0;31;42m\x1b[0m");
    EXPECT_EQ(ReadAvailable(pipeFds[0]), "");

    {
        RedirectedStreams redirect(pipeFds[1], slave);
        created = ux_console_create();
        ux_console_set_color(kYellow | UX_COLOR_BRIGHT, kDefault);
    }
    EXPECT_EQ(created, 0);
    EXPECT_EQ(ReadAvailable(pipeFds[0]), "");
    EXPECT_EQ(ReadAvailable(master), "\x1b[0;93m");

    close(master);
    close(slave);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

} // namespace
