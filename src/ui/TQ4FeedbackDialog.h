#pragma once

#include "net/FeedbackSender.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <functional>

namespace tq4
{

// An overlay over the whole editor: the user picks a category, writes a message and sends it to the
// maker's feedback service; the answer is shown in the dialog, which closes itself after a success.
class TQ4FeedbackDialog : public juce::Component
{
public:
    using SendFunction = std::function<void(const juce::String& categoryCode, const juce::String& message,
                                            FeedbackCompletion completion)>;
    using DelayFunction = std::function<void(int milliseconds, std::function<void()> callback)>;

    static constexpr int numCategories = 3;
    static constexpr int autoCloseDelayMs = 2500;

    TQ4FeedbackDialog();
    ~TQ4FeedbackDialog() override;

    // Both supplied by the owner. The completion may arrive on any later turn of the message loop, or
    // never; it does nothing once the dialog is gone.
    SendFunction onSend;
    std::function<void()> onClose;

    // Schedules the close after a successful send: the framework's timers unless replaced (tests need
    // not wait for it).
    DelayFunction runLater;

    void selectCategory(int index);
    void updateButtons();
    void setStatus(const juce::String& text, bool isError);

    int getSelectedCategory() const noexcept { return selectedCategory; }
    bool isSending() const noexcept { return sending; }
    bool isSent() const noexcept { return sent; }
    juce::Rectangle<int> getPanelBounds() const;

    juce::TextButton& getCategoryButton(int index) { return categoryButtons[(size_t)index]; }
    juce::TextEditor& getMessageEditor() noexcept { return messageEditor; }
    juce::Label& getStatusLabel() noexcept { return statusLabel; }
    juce::TextButton& getSendButton() noexcept { return sendButton; }
    juce::TextButton& getCancelButton() noexcept { return cancelButton; }
    juce::TextButton& getCloseButton() noexcept { return closeButton; }

    void paint(juce::Graphics&) override;
    void resized() override;
    bool keyPressed(const juce::KeyPress&) override;
    void mouseDown(const juce::MouseEvent&) override;
    void visibilityChanged() override;

private:
    void sendClicked();
    void finishSend(const FeedbackOutcome& outcome);
    void requestClose();

    std::array<juce::TextButton, numCategories> categoryButtons;
    juce::TextEditor messageEditor;
    juce::Label statusLabel;
    juce::TextButton sendButton{"Send"}, cancelButton{"Cancel"}, closeButton{"X"};

    int selectedCategory = 0;
    bool sending = false;
    bool sent = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TQ4FeedbackDialog)
};

// The send the editor gives the dialog: the report goes to the feedback service from its own thread,
// and the answer comes back only while `receiver` exists. `adjust` may change the send before it
// starts (tests point it at a local server).
TQ4FeedbackDialog::SendFunction feedbackServiceSend(juce::Component& receiver,
                                                    std::function<void(FeedbackSend&)> adjust = {});

} // namespace tq4
