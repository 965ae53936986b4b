#include "net/FeedbackReport.h"
#include "net/LiveInstances.h"
#include "support/LocalHttpServer.h"
#include "support/MessagePump.h"
#include "ui/Palette.h"
#include "ui/TQ4AudioProcessorEditor.h"
#include "ui/TQ4FeedbackDialog.h"
#include "ui/TQ4LookAndFeel.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

using tq4::TQ4FeedbackDialog;
using tq4test::pumpMessages;
using tq4test::pumpUntil;

namespace
{

// A click as the framework delivers it: on a later turn of the loop, and only to an enabled button.
void click(juce::Button& button)
{
    button.triggerClick();
    pumpMessages();
}

juce::MouseEvent pressAt(juce::Component& c, juce::Point<float> position)
{
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), position,
                            juce::ModifierKeys(juce::ModifierKeys::leftButtonModifier),
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now,
                            position, now, 1, false);
}

juce::KeyPress keyFor(juce::juce_wchar character)
{
    return juce::KeyPress((int)character, {}, character);
}

juce::KeyPress escapeWith(int modifiers)
{
    return juce::KeyPress(juce::KeyPress::escapeKey, juce::ModifierKeys(modifiers), 0);
}

struct SendCall
{
    juce::String category, message;
    tq4::FeedbackCompletion completion;
};

struct Delayed
{
    int milliseconds;
    std::function<void()> callback;
};

// A dialog at the editor's canvas size whose sends, closes and delayed calls are recorded; nothing
// reaches the network or the framework's timers.
struct RecordedDialog
{
    RecordedDialog()
    {
        dialog->setLookAndFeel(&lookAndFeel);
        dialog->setSize(960, 540);
        dialog->setVisible(true);
        dialog->onSend = [this](const juce::String& category, const juce::String& message,
                                tq4::FeedbackCompletion completion) {
            sends.push_back({category, message, std::move(completion)});
        };
        dialog->onClose = [closes = closes] { ++*closes; };
        dialog->runLater = [delayed = delayed](int ms, std::function<void()> callback) {
            delayed->push_back({ms, std::move(callback)});
        };
    }

    ~RecordedDialog()
    {
        if (dialog != nullptr)
            dialog->setLookAndFeel(nullptr);
    }

    // Typed or pasted text lands at the caret; the dialog hears of it on the next turn of the loop.
    void type(const juce::String& text)
    {
        dialog->getMessageEditor().insertTextAtCaret(text);
        pumpMessages();
    }

    void finish(bool ok, const juce::String& code)
    {
        ASSERT_FALSE(sends.empty());
        sends.back().completion({ok, code});
    }

    juce::TextButton& send() { return dialog->getSendButton(); }

    tq4::TQ4LookAndFeel lookAndFeel;
    std::unique_ptr<TQ4FeedbackDialog> dialog = std::make_unique<TQ4FeedbackDialog>();
    std::vector<SendCall> sends;
    // Shared so that calls after the dialog has gone are still counted.
    std::shared_ptr<int> closes = std::make_shared<int>(0);
    std::shared_ptr<std::vector<Delayed>> delayed = std::make_shared<std::vector<Delayed>>();
};

int pillOf(juce::Component& c)
{
    return static_cast<int>(c.getProperties()["tq4Pill"]);
}

double chipSizeOf(juce::Component& c)
{
    return static_cast<double>(c.getProperties()["tq4Chip"]);
}

} // namespace

TEST(FeedbackDialog, PlacesItsControlsOnAPanelCentredInItsArea)
{
    RecordedDialog r;
    auto& d = *r.dialog;

    struct Case
    {
        int width, height;
    };
    for (const auto& size : {Case{960, 540}, Case{1000, 600}})
    {
        SCOPED_TRACE(size.width);
        d.setSize(size.width, size.height);
        const int px = size.width / 2 - 230, py = size.height / 2 - 200, cx = px + 26;
        EXPECT_EQ(d.getPanelBounds(), juce::Rectangle<int>(px, py, 460, 400));

        struct Placed
        {
            const char* name;
            juce::Component& component;
            juce::Rectangle<int> expected;
        };
        const Placed placed[] = {
            {"feature", d.getCategoryButton(0), {cx, py + 58, 130, 30}},
            {"bug", d.getCategoryButton(1), {cx + 138, py + 58, 130, 30}},
            {"other", d.getCategoryButton(2), {cx + 276, py + 58, 130, 30}},
            {"message", d.getMessageEditor(), {cx, py + 98, 408, 170}},
            {"status", d.getStatusLabel(), {cx, py + 276, 408, 24}},
            {"cancel", d.getCancelButton(), {cx + 192, py + 340, 104, 34}},
            {"send", d.getSendButton(), {cx + 304, py + 340, 104, 34}},
            {"close", d.getCloseButton(), {px + 460 - 42, py + 14, 28, 24}},
        };
        for (const auto& p : placed)
        {
            EXPECT_EQ(p.component.getBounds(), p.expected) << p.name;
            EXPECT_TRUE(p.component.isVisible()) << p.name;
        }
    }
}

TEST(FeedbackDialog, ButtonsCarryTheirLabelsAndTheLookAndFeelProperties)
{
    RecordedDialog r;
    auto& d = *r.dialog;

    struct Case
    {
        juce::TextButton& button;
        const char* text;
        double chip;
        int pill;
    };
    const Case cases[] = {
        {d.getCategoryButton(0), "Feature request", 11.0, 2},
        {d.getCategoryButton(1), "Bug report", 11.0, 1},
        {d.getCategoryButton(2), "Other", 11.0, 1},
        {d.getCancelButton(), "Cancel", 11.5, 1},
        {d.getSendButton(), "Send", 11.5, 2},
        {d.getCloseButton(), "X", 10.5, 1},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.button.getButtonText(), c.text);
        EXPECT_DOUBLE_EQ(chipSizeOf(c.button), c.chip) << c.text;
        EXPECT_EQ(pillOf(c.button), c.pill) << c.text;
    }
    EXPECT_EQ(d.getCloseButton().getTooltip(), "Close");
    EXPECT_EQ(d.getSelectedCategory(), 0);
}

TEST(FeedbackDialog, TheMessageEditorAndStatusLineAreSetUpForWriting)
{
    RecordedDialog r;
    auto& editor = r.dialog->getMessageEditor();
    EXPECT_TRUE(editor.isMultiLine());
    EXPECT_TRUE(editor.getReturnKeyStartsNewLine());
    EXPECT_FLOAT_EQ(editor.getFont().getHeight(), 12.5f);
    EXPECT_EQ(editor.getTextToShowWhenEmpty(), "Tell us your feedback or describe a bug");
    EXPECT_EQ(editor.findColour(juce::TextEditor::outlineColourId), tq4::whiteAlpha(64));

    auto& status = r.dialog->getStatusLabel();
    EXPECT_FLOAT_EQ(status.getFont().getHeight(), 11.5f);
    EXPECT_FLOAT_EQ(status.getMinimumHorizontalScale(), 0.7f);
    EXPECT_TRUE(status.getText().isEmpty());
}

TEST(FeedbackDialog, ACategoryButtonSelectsItsCategoryAndLightsOnlyItself)
{
    RecordedDialog r;
    auto& d = *r.dialog;
    r.type("Hello");

    struct Step
    {
        int clicked;
        const char* code;
    };
    for (const auto& step : {Step{1, "bug"}, Step{2, "other"}, Step{2, "other"}, Step{0, "feature"}})
    {
        SCOPED_TRACE(step.clicked);
        click(d.getCategoryButton(step.clicked));
        EXPECT_EQ(d.getSelectedCategory(), step.clicked);
        for (int i = 0; i < TQ4FeedbackDialog::numCategories; ++i)
            EXPECT_EQ(pillOf(d.getCategoryButton(i)), i == step.clicked ? 2 : 1) << i;

        // The category goes out with the next send.
        click(r.send());
        ASSERT_FALSE(r.sends.empty());
        EXPECT_EQ(r.sends.back().category, step.code);
        r.finish(false, "bad_response");
    }
}

TEST(FeedbackDialog, SendNeedsAMessageThatIsNotBlank)
{
    struct Case
    {
        const char* name;
        juce::String text;
        bool enabled;
    };
    const Case cases[] = {
        {"empty", "", false},      {"spaces", "     ", false}, {"blank lines", "\n \t\n", false},
        {"one letter", "a", true}, {"padded", "  hi  ", true}, {"after a newline", "\n\nbug", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordedDialog r;
        r.type(c.text);
        EXPECT_EQ(r.send().isEnabled(), c.enabled);
        EXPECT_EQ(r.send().getButtonText(), "Send");

        // A press that reaches the handler anyway sends nothing without a message.
        r.send().onClick();
        EXPECT_EQ(r.sends.size(), c.enabled ? 1u : 0u);
    }
}

TEST(FeedbackDialog, DeletingTheMessageDisablesSendAgain)
{
    RecordedDialog r;
    r.type("x");
    ASSERT_TRUE(r.send().isEnabled());
    r.dialog->getMessageEditor().keyPressed(juce::KeyPress(juce::KeyPress::backspaceKey));
    pumpMessages();
    EXPECT_TRUE(r.dialog->getMessageEditor().isEmpty());
    EXPECT_FALSE(r.send().isEnabled());
}

TEST(FeedbackDialog, TheMessageStopsAt4000Characters)
{
    RecordedDialog r;
    auto& editor = r.dialog->getMessageEditor();
    const auto pasted = juce::String::repeatedString("abcde", 1000);
    ASSERT_EQ(pasted.length(), 5000);

    r.type(pasted);
    EXPECT_EQ(editor.getTotalNumChars(), 4000);
    EXPECT_EQ(editor.getText(), pasted.substring(0, 4000));

    editor.keyPressed(keyFor('z'));
    EXPECT_EQ(editor.getTotalNumChars(), 4000) << "typing at the limit adds nothing";

    click(r.send());
    ASSERT_EQ(r.sends.size(), 1u);
    EXPECT_EQ(r.sends[0].message.length(), 4000);

    const auto report = juce::JSON::parse(tq4::buildFeedbackReport("feature", r.sends[0].message, "Host"));
    EXPECT_EQ(report["message"].toString().length(), 4000);
}

TEST(FeedbackDialog, ReturnStartsANewLineAndDoesNotSendOrClose)
{
    RecordedDialog r;
    auto& editor = r.dialog->getMessageEditor();
    for (auto key : {keyFor('a'), juce::KeyPress(juce::KeyPress::returnKey), keyFor('b')})
        EXPECT_TRUE(editor.keyPressed(key)) << "consumed by the editor";
    pumpMessages();

    EXPECT_EQ(editor.getText(), "a\nb");
    EXPECT_TRUE(r.sends.empty());
    EXPECT_EQ(*r.closes, 0);
}

TEST(FeedbackDialog, SendingTrimsTheMessageAndWaitsForTheAnswer)
{
    RecordedDialog r;
    r.type("  The knob sticks.\n  ");
    r.dialog->setStatus("An old error", true);

    click(r.send());
    ASSERT_EQ(r.sends.size(), 1u);
    EXPECT_EQ(r.sends[0].category, "feature");
    EXPECT_EQ(r.sends[0].message, "The knob sticks.");

    EXPECT_TRUE(r.dialog->isSending());
    EXPECT_FALSE(r.dialog->isSent());
    EXPECT_FALSE(r.send().isEnabled());
    EXPECT_EQ(r.send().getButtonText(), "Sending...");
    EXPECT_TRUE(r.dialog->getStatusLabel().getText().isEmpty()) << "the old status is cleared";

    // Typing while the report is out does not make a second send possible.
    r.type(" More.");
    EXPECT_FALSE(r.send().isEnabled());
    r.send().onClick();
    EXPECT_EQ(r.sends.size(), 1u);
    EXPECT_TRUE(r.delayed->empty());
}

TEST(FeedbackDialog, EveryAnswerShowsItsTextInItsColour)
{
    const auto amber = juce::Colour(0xFFFFA53D);
    const auto normal = juce::Colours::white.withAlpha((juce::uint8)0xBD);

    struct Case
    {
        bool ok;
        const char* code;
        const char* shown;
        bool error;
    };
    const Case cases[] = {
        {true, "received", "Feedback sent. Thank you!", false},
        {true, "stored", "Feedback sent. Thank you!", false},
        {false, "rate_limited", "Too many messages. Please try again in a minute.", true},
        {false, "network_unreachable", "Could not reach the server. Check your internet connection.", true},
        {false, "http_503", "Could not send feedback (http_503).", true},
        {false, "bad_response", "Could not send feedback (bad_response).", true},
        {false, "error", "Could not send feedback (error).", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.code);
        RecordedDialog r;
        r.type("Hello");
        click(r.send());
        r.finish(c.ok, c.code);

        const auto& status = r.dialog->getStatusLabel();
        EXPECT_EQ(status.getText(), c.shown);
        EXPECT_EQ(status.findColour(juce::Label::textColourId), c.error ? amber : normal);
        EXPECT_FALSE(r.dialog->isSending());
        EXPECT_EQ(r.dialog->isSent(), c.ok);
        EXPECT_EQ(r.send().getButtonText(), "Send");
        EXPECT_EQ(r.send().isEnabled(), !c.ok) << "a failed send may be tried again";
        ASSERT_EQ(r.delayed->size(), c.ok ? 1u : 0u) << "only a success closes the dialog by itself";
        if (c.ok)
        {
            EXPECT_EQ(r.delayed->front().milliseconds, 2500);
        }
        EXPECT_EQ(*r.closes, 0);
    }
}

TEST(FeedbackDialog, AfterAFailureTheSameMessageCanBeSentAgain)
{
    RecordedDialog r;
    r.type("Hello");
    click(r.send());
    r.finish(false, "http_503");

    click(r.send());
    ASSERT_EQ(r.sends.size(), 2u);
    EXPECT_EQ(r.sends[1].message, "Hello");
    EXPECT_TRUE(r.dialog->getStatusLabel().getText().isEmpty());
    r.finish(true, "received");
    EXPECT_TRUE(r.dialog->isSent());

    click(r.send());
    EXPECT_EQ(r.sends.size(), 2u) << "nothing more once it has gone out";
}

TEST(FeedbackDialog, ASuccessClosesTheDialogOnlyWhenTheDelayHasRun)
{
    RecordedDialog r;
    r.type("Hello");
    click(r.send());
    r.finish(true, "received");
    ASSERT_EQ(r.delayed->size(), 1u);
    EXPECT_EQ(*r.closes, 0);

    r.delayed->front().callback();
    EXPECT_EQ(*r.closes, 1);

    // Had the dialog been closed first, the late delay finds nothing to close.
    RecordedDialog gone;
    gone.type("Hello");
    click(gone.send());
    gone.finish(true, "received");
    ASSERT_EQ(gone.delayed->size(), 1u);
    gone.dialog.reset();
    gone.delayed->front().callback();
    EXPECT_EQ(*gone.closes, 0);
}

TEST(FeedbackDialog, TheFrameworkTimerClosesItTwoAndAHalfSecondsAfterASuccess)
{
    TQ4FeedbackDialog dialog;
    int closes = 0;
    juce::uint32 closedAt = 0;
    dialog.onClose = [&]
    {
        ++closes;
        closedAt = juce::Time::getMillisecondCounter();
    };
    tq4::FeedbackCompletion completion;
    dialog.onSend = [&](const juce::String&, const juce::String&, tq4::FeedbackCompletion c)
    { completion = std::move(c); };
    dialog.getMessageEditor().setText("Hello");
    dialog.getSendButton().onClick();
    ASSERT_TRUE(completion);

    const auto answeredAt = juce::Time::getMillisecondCounter();
    completion({true, "received"});

    pumpMessages(2000);
    EXPECT_EQ(closes, 0);
    ASSERT_TRUE(pumpUntil([&] { return closes > 0; }, 5000));
    EXPECT_EQ(closes, 1);
    EXPECT_GE(closedAt - answeredAt, 2500u);
}

TEST(FeedbackDialog, CancelTheCloseButtonEscapeAndAPressOutsideThePanelClose)
{
    struct Case
    {
        const char* name;
        std::function<void(TQ4FeedbackDialog&)> act;
        int closes;
    };
    auto pressAtPoint = [](float x, float y) {
        return [x, y](TQ4FeedbackDialog& d) { d.mouseDown(pressAt(d, {x, y})); };
    };
    auto escape = [](int modifiers)
    { return [modifiers](TQ4FeedbackDialog& d) { d.keyPressed(escapeWith(modifiers)); }; };

    // The panel spans (250, 70) to (710, 470) on the 960 × 540 canvas.
    const Case cases[] = {
        {"cancel", [](TQ4FeedbackDialog& d) { click(d.getCancelButton()); }, 1},
        {"close button", [](TQ4FeedbackDialog& d) { click(d.getCloseButton()); }, 1},
        {"escape", escape(0), 1},
        {"shift escape", escape(juce::ModifierKeys::shiftModifier), 0},
        {"ctrl escape", escape(juce::ModifierKeys::ctrlModifier), 0},
        {"alt escape", escape(juce::ModifierKeys::altModifier), 0},
        {"other key", [](TQ4FeedbackDialog& d) { d.keyPressed(keyFor('q')); }, 0},
        {"backdrop corner", pressAtPoint(5.0f, 5.0f), 1},
        {"left of the panel", pressAtPoint(249.5f, 270.0f), 1},
        {"right of the panel", pressAtPoint(710.5f, 270.0f), 1},
        {"below the panel", pressAtPoint(480.0f, 470.5f), 1},
        {"panel edge", pressAtPoint(250.5f, 70.5f), 0},
        {"panel title", pressAtPoint(300.0f, 100.0f), 0},
        {"panel bottom", pressAtPoint(480.0f, 469.0f), 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordedDialog r;
        c.act(*r.dialog);
        EXPECT_EQ(*r.closes, c.closes);
        EXPECT_TRUE(r.sends.empty());
    }
}

TEST(FeedbackDialog, EscapeTypedInTheMessageIsLeftForTheDialog)
{
    RecordedDialog r;
    r.type("Half a thought");
    EXPECT_FALSE(r.dialog->getMessageEditor().keyPressed(escapeWith(0)));
    EXPECT_EQ(r.dialog->getMessageEditor().getText(), "Half a thought");
    EXPECT_TRUE(r.dialog->keyPressed(escapeWith(0)));
    EXPECT_EQ(*r.closes, 1);
}

TEST(FeedbackDialog, BackdropPressesHitTheDialogItself)
{
    RecordedDialog r;
    auto& d = *r.dialog;
    for (auto point : {juce::Point<int>{5, 5}, {955, 535}, {249, 270}, {480, 475}, {300, 100}})
        EXPECT_EQ(d.getComponentAt(point), &d) << point.toString();
    EXPECT_EQ(d.getComponentAt(d.getSendButton().getBounds().getCentre()), &d.getSendButton());
}

TEST(FeedbackDialog, TheMessageIsWhereTheKeyboardGoesFirst)
{
    RecordedDialog r;
    auto traverser = r.dialog->createKeyboardFocusTraverser();
    ASSERT_NE(traverser, nullptr);
    EXPECT_EQ(traverser->getDefaultComponent(r.dialog.get()), &r.dialog->getMessageEditor());
    for (int i = 0; i < TQ4FeedbackDialog::numCategories; ++i)
        EXPECT_FALSE(r.dialog->getCategoryButton(i).getMouseClickGrabsKeyboardFocus()) << i;
}

TEST(FeedbackDialog, AnAnswerAfterTheDialogHasGoneDoesNothing)
{
    RecordedDialog r;
    r.type("Hello");
    click(r.send());
    ASSERT_EQ(r.sends.size(), 1u);

    auto completion = r.sends[0].completion;
    r.dialog->setLookAndFeel(nullptr);
    r.dialog.reset();

    completion({true, "received"});
    completion({false, "http_503"});
    EXPECT_TRUE(r.delayed->empty());
    EXPECT_EQ(*r.closes, 0);
}

//==============================================================================
namespace
{

struct LiveInstance
{
    LiveInstance() { ++tq4http::liveInstanceCount; }
    ~LiveInstance() { --tq4http::liveInstanceCount; }
};

} // namespace

TEST(FeedbackDialog, AnswersOfTheServiceReachTheDialog)
{
    using namespace tq4test;
    LiveInstance instance;

    struct Case
    {
        const char* name;
        CannedAnswer answer;
        const char* shown;
        bool sent;
    };
    const Case cases[] = {
        {"ok without a message", replyWith(200, "{\"status\":\"ok\"}"), "Feedback sent. Thank you!", true},
        {"rate limited", replyWith(200, "{\"status\":\"error\",\"message\":\"rate_limited\"}"),
         "Too many messages. Please try again in a minute.", false},
        {"unavailable", replyWith(503, "{}"), "Could not send feedback (http_503).", false},
        {"not JSON", replyWith(200, "Thanks!"), "Could not send feedback (bad_response).", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        LocalHttpServer server(c.answer);
        RecordedDialog r;
        r.dialog->onSend = tq4::feedbackServiceSend(*r.dialog,
                                                    [&server](tq4::FeedbackSend& send)
                                                    {
                                                        send.endpoint = server.url();
                                                        send.options.totalTimeoutMs = 5000;
                                                        send.options.connectTimeoutMs = 5000;
                                                    });
        click(r.dialog->getCategoryButton(1));
        r.type("  The knob sticks.  ");
        click(r.send());
        ASSERT_TRUE(r.dialog->isSending());

        ASSERT_TRUE(pumpUntil([&] { return !r.dialog->isSending(); }, 10000));
        EXPECT_EQ(r.dialog->getStatusLabel().getText(), c.shown);
        EXPECT_EQ(r.dialog->isSent(), c.sent);
        EXPECT_EQ(r.send().isEnabled(), !c.sent);
        EXPECT_EQ(r.delayed->size(), c.sent ? 1u : 0u);

        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        const auto report = juce::JSON::parse(juce::String(requests[0].body));
        EXPECT_EQ(report["category"].toString(), "bug");
        EXPECT_EQ(report["message"].toString(), "The knob sticks.");
        ASSERT_TRUE(pumpUntil([] { return tq4::feedbackSendsInFlight() == 0; }, 10000));
    }
}

TEST(FeedbackDialog, ClosingWhileTheReportIsOutDropsItsAnswer)
{
    using namespace tq4test;
    LiveInstance instance;
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));

    RecordedDialog r;
    r.dialog->onSend = tq4::feedbackServiceSend(*r.dialog, [&server](tq4::FeedbackSend& send)
                                                { send.endpoint = server.url(); });
    r.type("Hello");
    click(r.send());
    r.dialog->setLookAndFeel(nullptr);
    r.dialog.reset();

    ASSERT_TRUE(pumpUntil([] { return tq4::feedbackSendsInFlight() == 0; }, 10000));
    pumpMessages(50);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(r.delayed->empty());
    EXPECT_EQ(*r.closes, 0);
}

//==============================================================================
namespace
{

// Keeps the user's own editor preferences out of reach.
struct ScratchPreferences
{
    ScratchPreferences() { tq4::EditorPreferences::redirectTo(file); }
    ~ScratchPreferences()
    {
        tq4::EditorPreferences::redirectTo({});
        file.deleteFile();
    }

    juce::File file = juce::File::getSpecialLocation(juce::File::tempDirectory)
                          .getNonexistentChildFile("tq4-feedback-test", ".settings");
};

TQ4FeedbackDialog* findDialog(juce::Component& root)
{
    for (auto* child : root.getChildren())
    {
        if (auto* dialog = dynamic_cast<TQ4FeedbackDialog*>(child))
            return dialog;
        if (auto* found = findDialog(*child))
            return found;
    }
    return nullptr;
}

int countDialogs(juce::Component& root)
{
    int count = dynamic_cast<TQ4FeedbackDialog*>(&root) != nullptr ? 1 : 0;
    for (auto* child : root.getChildren())
        count += countDialogs(*child);
    return count;
}

class EditorFeedbackTest : public ::testing::Test
{
protected:
    TQ4FeedbackDialog& openDialog()
    {
        editor->showFeedbackDialog();
        auto* dialog = findDialog(*editor);
        if (dialog == nullptr)
            throw std::runtime_error("no dialog");
        return *dialog;
    }

    ScratchPreferences preferences;
    TQ4AudioProcessor processor;
    std::unique_ptr<TQ4AudioProcessorEditor> editor = std::make_unique<TQ4AudioProcessorEditor>(processor);
};

} // namespace

TEST_F(EditorFeedbackTest, TheHelpMenuEntryOpensOneDialogOverTheWholeCanvas)
{
    for (const auto& [width, height] : {std::pair{960, 540}, std::pair{1280, 720}})
    {
        editor->setSize(width, height);
        auto& dialog = openDialog();
        ASSERT_TRUE(editor->isFeedbackDialogOpen());
        EXPECT_EQ(dialog.getBounds(), juce::Rectangle<int>(0, 0, 960, 540));
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_TRUE(dialog.onSend != nullptr);
        EXPECT_TRUE(dialog.onClose != nullptr);
        EXPECT_EQ(dialog.getParentComponent()->getChildren().getLast(), &dialog) << "on top";

        editor->showFeedbackDialog();
        EXPECT_EQ(countDialogs(*editor), 1) << "a second request while open does nothing";
        EXPECT_EQ(findDialog(*editor), &dialog);

        // Wherever the pointer goes in the window, it lands on the dialog.
        editor->setVisible(true);
        for (int y = 2; y < height; y += 37)
            for (int x = 2; x < width; x += 41)
            {
                auto* hit = editor->getComponentAt(x, y);
                // The window's own resize corner stays usable.
                if (dynamic_cast<juce::ResizableCornerComponent*>(hit) != nullptr)
                    continue;
                ASSERT_TRUE(hit == &dialog || dialog.isParentOf(hit)) << x << ", " << y;
            }

        dialog.getCancelButton().onClick();
        EXPECT_TRUE(editor->isFeedbackDialogOpen()) << "deleted on a later turn of the loop";
        pumpMessages(20);
        EXPECT_FALSE(editor->isFeedbackDialogOpen());
        EXPECT_EQ(countDialogs(*editor), 0);
    }
}

TEST_F(EditorFeedbackTest, EveryWayOfClosingRemovesTheDialogFromTheEditor)
{
    struct Case
    {
        const char* name;
        std::function<void(TQ4FeedbackDialog&)> close;
    };
    const Case cases[] = {
        {"close button", [](TQ4FeedbackDialog& d) { click(d.getCloseButton()); }},
        {"escape", [](TQ4FeedbackDialog& d) { d.keyPressed(escapeWith(0)); }},
        {"press outside",
         [](TQ4FeedbackDialog& d) {
             d.mouseDown(pressAt(d, {20.0f, 20.0f}));
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        c.close(openDialog());
        pumpMessages(20);
        EXPECT_FALSE(editor->isFeedbackDialogOpen());
    }
}

TEST_F(EditorFeedbackTest, ASuccessfulSendClosesTheDialogThroughTheEditor)
{
    auto& dialog = openDialog();
    tq4::FeedbackCompletion completion;
    std::function<void()> autoClose;
    dialog.onSend = [&](const juce::String&, const juce::String&, tq4::FeedbackCompletion c)
    { completion = std::move(c); };
    dialog.runLater = [&](int, std::function<void()> f) { autoClose = std::move(f); };

    dialog.getMessageEditor().setText("Hello");
    click(dialog.getSendButton());
    ASSERT_TRUE(completion);
    completion({true, "received"});
    ASSERT_TRUE(autoClose);
    pumpMessages(20);
    EXPECT_TRUE(editor->isFeedbackDialogOpen());

    autoClose();
    pumpMessages(20);
    EXPECT_FALSE(editor->isFeedbackDialogOpen());
}

TEST_F(EditorFeedbackTest, AnAnswerAfterCancelLeavesTheEditorAlone)
{
    auto& dialog = openDialog();
    tq4::FeedbackCompletion completion;
    dialog.onSend = [&](const juce::String&, const juce::String&, tq4::FeedbackCompletion c)
    { completion = std::move(c); };
    dialog.getMessageEditor().setText("Hello");
    click(dialog.getSendButton());
    click(dialog.getCancelButton());
    pumpMessages(20);
    ASSERT_FALSE(editor->isFeedbackDialogOpen());

    completion({true, "received"});
    pumpMessages(20);
    EXPECT_FALSE(editor->isFeedbackDialogOpen());
    EXPECT_EQ(countDialogs(*editor), 0);
}

TEST_F(EditorFeedbackTest, TheEditorMayCloseWithTheDialogOpen)
{
    juce::Component::SafePointer<TQ4FeedbackDialog> dialog(&openDialog());
    dialog->keyPressed(escapeWith(0));
    editor.reset(); // the pending close finds no editor
    EXPECT_EQ(dialog.getComponent(), nullptr) << "the dialog goes with the editor";
    pumpMessages(20);
    EXPECT_EQ(editor, nullptr);
}

TEST_F(EditorFeedbackTest, RendersTheOpenDialogOverTheEditorToPng)
{
    const auto background = [&]
    {
        editor->setSize(960, 540);
        return editor->createComponentSnapshot(editor->getLocalBounds(), true, 1.0f);
    }();

    auto& dialog = openDialog();
    const auto fresh = editor->createComponentSnapshot(editor->getLocalBounds(), true, 1.0f);

    click(dialog.getCategoryButton(1));
    dialog.getMessageEditor().setText("The ratio knob jumps when I drag it slowly.\nHost: any.");
    pumpMessages();
    dialog.setStatus(tq4::feedbackStatusText({false, "network_unreachable"}), true);

    for (const auto& [width, height] : {std::pair{960, 540}, std::pair{1280, 720}})
    {
        editor->setSize(width, height);
        const auto image = editor->createComponentSnapshot(editor->getLocalBounds(), true, 1.0f);
        const auto file =
            juce::File::getSpecialLocation(juce::File::currentExecutableFile)
                .getSiblingFile("tq4-feedback-" + juce::String(width) + "x" + juce::String(height) + ".png");
        file.deleteFile();
        juce::FileOutputStream out(file);
        ASSERT_TRUE(out.openedOk());
        ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(image, out));
    }
    {
        const auto file = juce::File::getSpecialLocation(juce::File::currentExecutableFile)
                              .getSiblingFile("tq4-feedback-empty.png");
        file.deleteFile();
        juce::FileOutputStream out(file);
        ASSERT_TRUE(out.openedOk());
        ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(fresh, out));
    }

    // The backdrop darkens the editor around the panel to about 28 % of its brightness.
    for (auto point : {juce::Point<int>{100, 450}, {480, 30}, {850, 200}})
    {
        const auto before = background.getPixelAt(point.x, point.y);
        const auto after = fresh.getPixelAt(point.x, point.y);
        EXPECT_NEAR(after.getBrightness(), before.getBrightness() * (1.0f - 184.0f / 255.0f), 0.02f)
            << point.toString();
    }
    // An empty part of the panel shows its own near-opaque colour.
    const auto panel = fresh.getPixelAt(480, 80);
    const auto expected = juce::Colour(0xFF1A1430);
    EXPECT_NEAR(panel.getRed(), expected.getRed(), 4);
    EXPECT_NEAR(panel.getGreen(), expected.getGreen(), 4);
    EXPECT_NEAR(panel.getBlue(), expected.getBlue(), 4);
}
