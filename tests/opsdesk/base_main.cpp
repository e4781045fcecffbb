// The toolkit's base library for the tests that need no display: strings,
// translations and event handlers work once it is initialised.
#include <gtest/gtest.h>

#include <wx/init.h>

namespace {

class WxBaseEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { m_initializer = std::make_unique<wxInitializer>(); }
    void TearDown() override { m_initializer.reset(); }

private:
    std::unique_ptr<wxInitializer> m_initializer;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new WxBaseEnvironment);

} // namespace
