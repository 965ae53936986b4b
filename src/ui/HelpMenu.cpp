#include "ui/HelpMenu.h"

#include "net/ScrambledName.h"

namespace tq4
{

namespace
{
// Kept out of the binary's plain strings; only the scrambled bytes are compiled in.
constexpr auto scrambledSiteHost = scrambleName("veldrane.test");
} // namespace

juce::String pluginVersion()
{
    return JucePlugin_VersionString;
}

juce::String siteAddress()
{
    return "https://" + unscrambleName(scrambledSiteHost);
}

juce::String manualAddress()
{
    return siteAddress() + "/downloads/TQ-4_Manual_EN.pdf";
}

juce::String supportAddress()
{
    return siteAddress() + "/contact";
}

juce::PopupMenu createHelpMenu()
{
    juce::PopupMenu menu;
    menu.addItem(helpMenuFeedback, "Send feedback...");
    menu.addItem(helpMenuManual, "Manual");
    menu.addItem(helpMenuSupport, "Support");
    menu.addSeparator();
    menu.addItem(helpMenuVersion, "TQ-4 v" + pluginVersion(), false);
    return menu;
}

HelpMenu::HelpMenu(juce::Component& ownerComponent) : owner(ownerComponent) {}

void HelpMenu::show(juce::Button& helpButton)
{
    auto menu = createHelpMenu();
    menu.setLookAndFeel(&helpButton.getLookAndFeel());
    menu.showMenuAsync(juce::PopupMenu::Options().withTargetComponent(&helpButton), makeResultHandler());
}

std::function<void(int)> HelpMenu::makeResultHandler()
{
    // This object lives inside its owner, so the owner's safe pointer guards it too.
    return [this, safeOwner = juce::Component::SafePointer<juce::Component>(&owner)](int result)
    {
        if (safeOwner != nullptr)
            handleResult(result);
    };
}

void HelpMenu::handleResult(int result)
{
    switch (result)
    {
    case helpMenuFeedback:
        if (onFeedback)
            onFeedback();
        break;
    case helpMenuManual:
        openLink(juce::URL(manualAddress()));
        break;
    case helpMenuSupport:
        openLink(juce::URL(supportAddress()));
        break;
    default:
        break;
    }
}

} // namespace tq4
