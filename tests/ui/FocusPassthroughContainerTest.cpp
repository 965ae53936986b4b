#include "ui/FocusPassthroughContainer.h"

#include <gtest/gtest.h>

namespace
{

struct Focusable : juce::Component
{
    Focusable() { setWantsKeyboardFocus(true); }
};

} // namespace

TEST(FocusPassthroughContainer, OffersNoDefaultChildButStillTraversesItsChildren)
{
    juce::Component window;
    tq4::FocusPassthroughContainer container;
    Focusable first, second;
    window.setSize(100, 100);
    container.setBounds(window.getLocalBounds());
    first.setBounds(0, 0, 10, 10);
    second.setBounds(20, 0, 10, 10);
    window.addAndMakeVisible(container);
    container.addAndMakeVisible(first);
    container.addAndMakeVisible(second);

    auto traverser = container.createKeyboardFocusTraverser();
    ASSERT_NE(traverser, nullptr);
    EXPECT_EQ(traverser->getDefaultComponent(&container), nullptr);

    // Elsewhere the framework's choice stands, and Tab order still reaches the children.
    juce::Component plain;
    Focusable only;
    plain.addAndMakeVisible(only);
    EXPECT_EQ(traverser->getDefaultComponent(&plain), &only);
    EXPECT_EQ(traverser->getNextComponent(&first), &second);
}
