#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

// The menu behind the header's "?" button: feedback, the manual and support pages on the maker's
// web site, and the version line.
namespace tq4
{

enum HelpMenuResult
{
    helpMenuManual = 1,
    helpMenuSupport = 2,
    helpMenuVersion = 3,
    helpMenuFeedback = 4,
};

// "1.0.0", the version the host sees.
juce::String pluginVersion();

// "https://" and the maker's host name, unscrambled on every call.
juce::String siteAddress();
juce::String manualAddress();
juce::String supportAddress();

// The five entries in order; the version line is disabled.
juce::PopupMenu createHelpMenu();

class HelpMenu
{
public:
    // owner is the editor: a result that arrives after it has gone is ignored.
    explicit HelpMenu(juce::Component& owner);

    // Builds the menu afresh and shows it under the button, with the button's look-and-feel.
    void show(juce::Button& helpButton);

    // The menu's close callback: checks the owner still exists, then handles the result.
    std::function<void(int)> makeResultHandler();
    void handleResult(int result);

    // Opens the feedback dialog; set by the editor.
    std::function<void()> onFeedback;

    // Opens a link; the default browser unless replaced.
    std::function<void(const juce::URL&)> openLink = [](const juce::URL& url)
    { url.launchInDefaultBrowser(); };

private:
    juce::Component& owner;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(HelpMenu)
};

} // namespace tq4
