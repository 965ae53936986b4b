#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

// A plain grouping component that keyboard focus passes straight through: Tab reaches its
// children, but opening the window or clicking the container never focuses a first child.
namespace tq4
{

class FocusPassthroughContainer : public juce::Component
{
public:
    std::unique_ptr<juce::ComponentTraverser> createKeyboardFocusTraverser() override
    {
        return std::make_unique<NoDefaultChild>();
    }

private:
    struct NoDefaultChild : public juce::KeyboardFocusTraverser
    {
        juce::Component* getDefaultComponent(juce::Component* parentComponent) override
        {
            if (dynamic_cast<FocusPassthroughContainer*>(parentComponent) != nullptr)
                return nullptr;

            return juce::KeyboardFocusTraverser::getDefaultComponent(parentComponent);
        }
    };
};

} // namespace tq4
