#include "ui/HelpMenu.h"

#include <gtest/gtest.h>

#include <memory>

namespace
{

struct MenuEntry
{
    int id;
    juce::String text;
    bool enabled, separator;
};

std::vector<MenuEntry> entriesOf(const juce::PopupMenu& menu)
{
    std::vector<MenuEntry> entries;
    for (juce::PopupMenu::MenuItemIterator it(menu); it.next();)
    {
        const auto& item = it.getItem();
        entries.push_back({item.itemID, item.text, item.isEnabled, item.isSeparator});
    }
    return entries;
}

// A help menu whose links and feedback requests are recorded instead of acted on.
struct RecordingMenu
{
    RecordingMenu()
    {
        menu.openLink = [this](const juce::URL& url) { links.add(url.toString(false)); };
        menu.onFeedback = [this] { ++feedbackRequests; };
    }

    std::unique_ptr<juce::Component> owner = std::make_unique<juce::Component>();
    tq4::HelpMenu menu{*owner};
    juce::StringArray links;
    int feedbackRequests = 0;
};

} // namespace

TEST(HelpMenu, HasItsFiveEntriesInOrderWithTheVersionDisabled)
{
    const auto entries = entriesOf(tq4::createHelpMenu());
    ASSERT_EQ(entries.size(), 5u);

    struct Expected
    {
        int id;
        const char* text;
        bool enabled, separator;
    };
    const Expected expected[] = {{4, "Send feedback...", true, false},
                                 {1, "Manual", true, false},
                                 {2, "Support", true, false},
                                 {0, "", true, true},
                                 {3, "TQ-4 v1.0.0", false, false}};
    for (size_t i = 0; i < entries.size(); ++i)
    {
        EXPECT_EQ(entries[i].separator, expected[i].separator) << i;
        if (expected[i].separator)
            continue;
        EXPECT_EQ(entries[i].id, expected[i].id) << i;
        EXPECT_EQ(entries[i].text, expected[i].text) << i;
        EXPECT_EQ(entries[i].enabled, expected[i].enabled) << i;
    }
}

TEST(HelpMenu, LinksPointAtTheSiteOverHttps)
{
    EXPECT_EQ(tq4::siteAddress(), "https://veldrane.test");
    EXPECT_TRUE(tq4::manualAddress().startsWith("https://"));
    EXPECT_TRUE(tq4::manualAddress().endsWith("/downloads/TQ-4_Manual_EN.pdf"));
    EXPECT_TRUE(tq4::supportAddress().startsWith("https://"));
    EXPECT_TRUE(tq4::supportAddress().endsWith("/contact"));
}

TEST(HelpMenu, EachResultDoesItsOwnThing)
{
    struct Case
    {
        int result;
        const char* link; // nullptr: no link opens
        int feedbackRequests;
    };
    const Case cases[] = {
        {1, "https://veldrane.test/downloads/TQ-4_Manual_EN.pdf", 0},
        {2, "https://veldrane.test/contact", 0},
        {4, nullptr, 1},
        {3, nullptr, 0}, // the version line
        {0, nullptr, 0}, // dismissed
        {99, nullptr, 0},
    };
    for (const auto& c : cases)
    {
        RecordingMenu m;
        m.menu.makeResultHandler()(c.result);
        EXPECT_EQ(m.links.size(), c.link != nullptr ? 1 : 0) << c.result;
        if (c.link != nullptr && !m.links.isEmpty())
        {
            EXPECT_EQ(m.links[0], c.link);
        }
        EXPECT_EQ(m.feedbackRequests, c.feedbackRequests) << c.result;
    }
}

TEST(HelpMenu, AResultAfterTheOwnerHasGoneIsIgnored)
{
    RecordingMenu m;
    const auto handler = m.menu.makeResultHandler();
    m.owner.reset();

    handler(1);
    handler(4);
    EXPECT_TRUE(m.links.isEmpty());
    EXPECT_EQ(m.feedbackRequests, 0);
}
