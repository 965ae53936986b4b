#include "ui/TQ4FeedbackDialog.h"

#include "net/FeedbackReport.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"

namespace tq4
{

namespace
{
const char* const categoryLabels[TQ4FeedbackDialog::numCategories] = {"Feature request", "Bug report",
                                                                      "Other"};

const juce::Colour panelColour = juce::Colour(0xFF1A1430).withAlpha((juce::uint8)247);

constexpr int panelWidth = 460, panelHeight = 400;
constexpr int contentInset = 26, contentWidth = 408;

// The framework's timer thread may fire a one-shot early by the time it already spent waiting, so the
// due time is checked again and the rest waited for.
void callAfterAtLeast(juce::uint32 dueAt, std::function<void()> callback)
{
    const auto now = juce::Time::getMillisecondCounter();
    if (static_cast<juce::int32>(dueAt - now) <= 0)
    {
        callback();
        return;
    }

    juce::Timer::callAfterDelay(static_cast<int>(dueAt - now),
                                [dueAt, callback = std::move(callback)]() mutable
                                { callAfterAtLeast(dueAt, std::move(callback)); });
}

void setChipLook(juce::TextButton& button, double fontSize, int pill)
{
    button.getProperties().set("tq4Chip", fontSize);
    button.getProperties().set("tq4Pill", pill);
    // The caret stays in the message while the user picks a category or presses a button.
    button.setMouseClickGrabsKeyboardFocus(false);
}
} // namespace

TQ4FeedbackDialog::TQ4FeedbackDialog()
    : runLater(
          [](int milliseconds, std::function<void()> callback) {
              callAfterAtLeast(juce::Time::getMillisecondCounter() + (juce::uint32)milliseconds,
                               std::move(callback));
          })
{
    // Tab cycles inside the dialog rather than reaching the covered controls.
    setFocusContainerType(FocusContainerType::keyboardFocusContainer);

    for (int i = 0; i < numCategories; ++i)
    {
        auto& button = categoryButtons[(size_t)i];
        button.setButtonText(categoryLabels[i]);
        setChipLook(button, 11.0, 1);
        button.onClick = [this, i] { selectCategory(i); };
        addAndMakeVisible(button);
    }
    selectCategory(0);

    messageEditor.setMultiLine(true, true);
    messageEditor.setReturnKeyStartsNewLine(true);
    // Escape is left to the dialog, which closes on it.
    messageEditor.setEscapeAndReturnKeysConsumed(false);
    messageEditor.setInputRestrictions(maxFeedbackMessageChars);
    messageEditor.setFont(makeFont(12.5f, false, 0.0f));
    messageEditor.setTextToShowWhenEmpty("Tell us your feedback or describe a bug", whiteAlpha(76));
    messageEditor.setColour(juce::TextEditor::outlineColourId, whiteAlpha(64));
    messageEditor.setExplicitFocusOrder(1);
    messageEditor.onTextChange = [this] { updateButtons(); };
    addAndMakeVisible(messageEditor);

    statusLabel.setFont(makeFont(11.5f, false, 0.0f));
    statusLabel.setMinimumHorizontalScale(0.7f);
    statusLabel.setInterceptsMouseClicks(false, false);
    setStatus({}, false);
    addAndMakeVisible(statusLabel);

    setChipLook(cancelButton, 11.5, 1);
    cancelButton.onClick = [this] { requestClose(); };
    addAndMakeVisible(cancelButton);

    setChipLook(sendButton, 11.5, 2);
    sendButton.onClick = [this] { sendClicked(); };
    addAndMakeVisible(sendButton);

    setChipLook(closeButton, 10.5, 1);
    closeButton.setTooltip("Close");
    closeButton.setTitle("Close");
    closeButton.onClick = [this] { requestClose(); };
    addAndMakeVisible(closeButton);

    updateButtons();
}

TQ4FeedbackDialog::~TQ4FeedbackDialog() = default;

juce::Rectangle<int> TQ4FeedbackDialog::getPanelBounds() const
{
    return {getWidth() / 2 - panelWidth / 2, getHeight() / 2 - panelHeight / 2, panelWidth, panelHeight};
}

void TQ4FeedbackDialog::selectCategory(int index)
{
    selectedCategory = index;

    for (int i = 0; i < numCategories; ++i)
    {
        auto& button = categoryButtons[(size_t)i];
        button.getProperties().set("tq4Pill", i == index ? 2 : 1);
        button.repaint();
    }
}

void TQ4FeedbackDialog::updateButtons()
{
    const bool hasMessage = messageEditor.getText().trim().isNotEmpty();
    sendButton.setEnabled(!sending && !sent && hasMessage);
    sendButton.setButtonText(sending ? "Sending..." : "Send");
}

void TQ4FeedbackDialog::setStatus(const juce::String& text, bool isError)
{
    statusLabel.setColour(juce::Label::textColourId, isError ? colAmber : whiteAlpha(0xBD));
    statusLabel.setText(text, juce::dontSendNotification);
}

void TQ4FeedbackDialog::sendClicked()
{
    if (sending || sent || !onSend)
        return;

    const auto message = messageEditor.getText().trim();
    if (message.isEmpty())
        return;

    sending = true;
    setStatus({}, false);
    updateButtons();

    onSend(feedbackCategoryCode(selectedCategory), message,
           [safe = SafePointer<TQ4FeedbackDialog>(this)](const FeedbackOutcome& outcome)
           {
               if (safe != nullptr)
                   safe->finishSend(outcome);
           });
}

void TQ4FeedbackDialog::finishSend(const FeedbackOutcome& outcome)
{
    sending = false;
    sent = outcome.ok;
    setStatus(feedbackStatusText(outcome), !outcome.ok);
    updateButtons();

    if (outcome.ok && runLater)
    {
        runLater(autoCloseDelayMs,
                 [safe = SafePointer<TQ4FeedbackDialog>(this)]
                 {
                     if (safe != nullptr)
                         safe->requestClose();
                 });
    }
}

void TQ4FeedbackDialog::requestClose()
{
    if (onClose)
        onClose();
}

void TQ4FeedbackDialog::paint(juce::Graphics& g)
{
    g.fillAll(blackAlpha(184));

    const auto panel = getPanelBounds();
    g.setColour(panelColour);
    g.fillRoundedRectangle(panel.toFloat(), 22.0f);

    drawText(g, "Send feedback to VELDRANE", makeFont(15.0f, true, 0.0f), juce::Colours::white,
             (float)panel.getX() + 28.0f, (float)panel.getY() + 36.0f, TextAlign::left);

    g.setColour(whiteAlpha(76));
    g.setFont(makeFont(10.0f, false, 0.0f));
    g.drawFittedText("Your message, TQ-4 version, OS and DAW name are sent to VELDRANE.",
                     {panel.getX() + contentInset, panel.getY() + 300, contentWidth, 32},
                     juce::Justification::centred, 2);
}

void TQ4FeedbackDialog::resized()
{
    const auto panel = getPanelBounds();
    const int x = panel.getX() + contentInset;
    const int y = panel.getY();

    for (int i = 0; i < numCategories; ++i)
        categoryButtons[(size_t)i].setBounds(x + 138 * i, y + 58, 130, 30);

    messageEditor.setBounds(x, y + 98, contentWidth, 170);
    statusLabel.setBounds(x, y + 276, contentWidth, 24);
    cancelButton.setBounds(x + 192, y + 340, 104, 34);
    sendButton.setBounds(x + 304, y + 340, 104, 34);
    closeButton.setBounds(panel.getRight() - 42, y + 14, 28, 24);
}

bool TQ4FeedbackDialog::keyPressed(const juce::KeyPress& key)
{
    const auto mods = key.getModifiers();

    if (key.isKeyCode(juce::KeyPress::escapeKey) && !mods.isShiftDown() && !mods.isCtrlDown() &&
        !mods.isAltDown())
    {
        requestClose();
        return true;
    }

    return false;
}

void TQ4FeedbackDialog::mouseDown(const juce::MouseEvent& event)
{
    if (!getPanelBounds().toFloat().contains(event.position))
        requestClose();
}

void TQ4FeedbackDialog::visibilityChanged()
{
    if (isShowing())
        messageEditor.grabKeyboardFocus();
}

TQ4FeedbackDialog::SendFunction feedbackServiceSend(juce::Component& receiver,
                                                    std::function<void(FeedbackSend&)> adjust)
{
    return [&receiver, adjust = std::move(adjust)](const juce::String& categoryCode,
                                                   const juce::String& message, FeedbackCompletion completion)
    {
        auto send = makeFeedbackSend(categoryCode, message);

        if (adjust)
            adjust(send);

        startFeedbackSend(send, receiver, std::move(completion));
    };
}

} // namespace tq4
