#include "support/ParameterSet.h"
#include "ui/ChoiceChips.h"
#include "ui/FocusPassthroughContainer.h"
#include "ui/Fonts.h"
#include "ui/FramePainter.h"
#include "ui/Palette.h"
#include "ui/TQ4Knob.h"
#include "ui/TQ4LookAndFeel.h"

#include <gtest/gtest.h>

// Renders the painted frame with every kind of control on it into a PNG beside the test binary,
// so a person can look at the result: tq4-ui-snapshot.png (and -bypassed.png).
namespace
{

// A stand-in for the editor window at scale 1: the frame painting steps and the controls.
struct SnapshotWindow : juce::Component
{
    explicit SnapshotWindow(tq4test::ParameterSet& params)
        : characterChips(nullptr, params[tq4::ParamIds::character], {"AUTO", "OPTO", "FET", "VCA"}, 10.5f),
          driveTypeChips(nullptr, params[tq4::ParamIds::driveType], {"TUBE", "XFMR", "TAPE", "FET"}, 11.0f)
    {
        setLookAndFeel(&lookAndFeel);
        setSize(960, 540);
        for (auto* c : {&controls, &drive})
        {
            c->setBounds(getLocalBounds());
            c->setInterceptsMouseClicks(false, true);
        }
        addAndMakeVisible(controls);
        controls.addAndMakeVisible(drive);

        struct KnobSetup
        {
            tq4::TQ4Knob& knob;
            const char* id;
            const char* caption;
            const char* unit;
            int decimals, x, y, r;
        };
        const KnobSetup knobs[] = {
            {threshold, tq4::ParamIds::threshold, "THRESHOLD", "dB", 1, 88, 196, 42},
            {ratio, tq4::ParamIds::ratio, "RATIO", ": 1", 1, 200, 160, 28},
            {attack, tq4::ParamIds::attack, "ATTACK", "ms", -2, 280, 160, 28},
            {release, tq4::ParamIds::release, "RELEASE", "ms", 0, 200, 268, 28},
            {knee, tq4::ParamIds::knee, "KNEE", "", -1, 280, 268, 28},
            {mix, tq4::ParamIds::mix, "MIX", "%", 0, 706, 326, 28},
            {output, tq4::ParamIds::output, "OUTPUT", "dB", 1, 800, 326, 28},
            {amount, tq4::ParamIds::drive, "AMOUNT", "%", 0, 700, 170, 30},
        };
        for (const auto& k : knobs)
        {
            tq4::setupKnob(k.knob, params[k.id], nullptr, k.caption, k.unit, k.decimals,
                           &k.knob == &amount ? static_cast<juce::Component&>(drive) : controls);
            k.knob.setGeometry({k.x, k.y}, k.r);
        }
        release.setEnabled(false); // auto release on

        std::vector<juce::Rectangle<int>> characterRects, driveRects;
        for (int i = 0; i < 4; ++i)
        {
            characterRects.push_back({372 + 55 * i, 382, 51, 22});
            driveRects.push_back({758 + 86 * (i % 2), 132 + 32 * (i / 2), 80, 26});
        }
        controls.addAndMakeVisible(characterChips);
        characterChips.setChipRects(characterRects);
        characterChips.setPickedIndex(2);
        drive.addAndMakeVisible(driveTypeChips);
        driveTypeChips.setChipRects(driveRects);

        driveSwitch.getProperties().set("tq4Switch", true);
        driveSwitch.setToggleState(true, juce::dontSendNotification);
        driveSwitch.setBounds(870, 84, 46, 24);
        autoGain.getProperties().set("tq4Chip", 10.0);
        autoGain.setToggleState(true, juce::dontSendNotification);
        autoGain.setBounds(841, 314, 84, 24);
        autoRelease.getProperties().set("tq4Chip", 11.0);
        autoRelease.setToggleState(true, juce::dontSendNotification);
        autoRelease.setBounds(168, 332, 64, 24);
        learn.getProperties().set("tq4Learn", true);
        learn.setBounds(415, 221, 130, 48);
        source.getProperties().set("tq4Drop", true);
        source.setButtonText(juce::String("Vocal  ") + juce::String::charToString(0x203A) + "  Lead");
        source.setBounds(372, 334, 216, 40);
        for (auto* b : {static_cast<juce::Button*>(&driveSwitch), static_cast<juce::Button*>(&autoGain),
                        static_cast<juce::Button*>(&autoRelease), static_cast<juce::Button*>(&learn),
                        static_cast<juce::Button*>(&source)})
            controls.addAndMakeVisible(b);

        undo.getProperties().set("tq4Arrow", 1);
        undo.setBounds(800, 24, 28, 28);
        redo.getProperties().set("tq4Arrow", 2);
        redo.setBounds(836, 24, 28, 28);
        redo.setEnabled(false);
        help.getProperties().set("tq4Help", true);
        const int brandWidth = juce::roundToInt(tq4::textWidth(tq4::makeFont(13.0f, true, 5.0f), "VELDRANE"));
        help.setBounds(32 + brandWidth + 14, 30, 16, 16);
        for (auto* b : {&undo, &redo, &help})
            addAndMakeVisible(b);
    }

    ~SnapshotWindow() override { setLookAndFeel(nullptr); }

    void paint(juce::Graphics& g) override
    {
        tq4::paintGround(g, getLocalBounds());
        tq4::paintBackdrop(g, background, getLocalBounds(), 1.0f, {}, bypassed);
        tq4::paintHeader(g);
        tq4::beginBypassDim(g, bypassed);
        tq4::paintDriveOutline(g, true);
        tq4::paintPanels(g);
        tq4::paintSectionTitles(g);
        for (auto* knob : {&threshold, &ratio, &attack, &release, &knee, &mix, &output, &amount})
            tq4::paintKnobCaption(g, *knob, knob == &release);
        tq4::paintHistoryStripPanel(g);
        tq4::endBypassDim(g, bypassed);
    }

    void setBypassed(bool b)
    {
        bypassed = b;
        controls.setAlpha(b ? 0.4f : 1.0f);
    }

    tq4::TQ4LookAndFeel lookAndFeel;
    tq4::BackgroundImage background;
    bool bypassed = false;
    tq4::FocusPassthroughContainer controls, drive;
    tq4::TQ4Knob threshold, ratio, attack, release, knee, mix, output, amount;
    tq4::ChoiceChips characterChips, driveTypeChips;
    juce::ToggleButton driveSwitch{"DRIVE"}, autoGain{"AUTO GAIN"}, autoRelease{"AUTO"};
    juce::TextButton learn{"LEARN"}, source, undo, redo, help;
};

juce::File snapshotFile(const char* name)
{
    return juce::File::getSpecialLocation(juce::File::currentExecutableFile).getSiblingFile(name);
}

} // namespace

TEST(EditorSnapshot, RendersTheFrameAndControlsToPng)
{
    tq4test::ParameterSet params;
    params.set(tq4::ParamIds::threshold, -24.0f);
    params.set(tq4::ParamIds::attack, 5.5f);
    params.set(tq4::ParamIds::drive, 35.0f);
    params.set(tq4::ParamIds::driveType, 2.0f);
    SnapshotWindow window(params);

    for (const bool bypassed : {false, true})
    {
        window.setBypassed(bypassed);
        const auto image = window.createComponentSnapshot(window.getLocalBounds(), true, 2.0f);
        ASSERT_EQ(image.getWidth(), 1920);

        const auto file = snapshotFile(bypassed ? "tq4-ui-snapshot-bypassed.png" : "tq4-ui-snapshot.png");
        file.deleteFile();
        {
            juce::FileOutputStream out(file);
            ASSERT_TRUE(out.openedOk());
            ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(image, out));
        }
        const auto readBack = juce::ImageFileFormat::loadFrom(file);
        EXPECT_EQ(readBack.getWidth(), 1920);
        EXPECT_EQ(readBack.getHeight(), 1080);

        // The threshold knob's pointer dot is white at full strength unless bypassed.
        const float angle =
            1.25f * juce::MathConstants<float>::pi +
            (float)params[tq4::ParamIds::threshold].getValue() * 1.5f * juce::MathConstants<float>::pi;
        const auto dot = image.getPixelAt(juce::roundToInt(2.0f * (88.0f + std::sin(angle) * 42.0f)),
                                          juce::roundToInt(2.0f * (196.0f - std::cos(angle) * 42.0f)));
        EXPECT_GT(dot.getBrightness(), bypassed ? 0.3f : 0.95f);
        EXPECT_LT(dot.getBrightness(), bypassed ? 0.7f : 1.01f);
    }
}

TEST(EditorSnapshot, RendersMenuTooltipAndControlStatesToPng)
{
    tq4::TQ4LookAndFeel lookAndFeel;
    juce::Image image(juce::Image::ARGB, 2 * 560, 2 * 300, true);
    {
        juce::Graphics g(image);
        g.addTransform(juce::AffineTransform::scale(2.0f));
        g.fillAll(tq4::colBackground);

        // A source menu: separator, a ticked sub-menu entry, a highlighted one, an inactive item.
        {
            juce::Graphics::ScopedSaveState saved(g);
            g.setOrigin(20, 20);
            lookAndFeel.drawPopupMenuBackground(g, 200, 170);
            struct Item
            {
                const char* text;
                bool separator, active, highlighted, ticked, subMenu;
            };
            const Item items[] = {{"Universal", false, true, false, false, true},
                                  {"", true, true, false, false, false},
                                  {"Vocal", false, true, false, true, true},
                                  {"Drum", false, true, true, false, true},
                                  {"Lead", false, true, false, true, false},
                                  {"Backing", false, true, true, false, false},
                                  {"Unavailable", false, false, false, false, false}};
            int y = 6;
            for (const auto& item : items)
            {
                const int h = item.separator ? 8 : 24;
                lookAndFeel.drawPopupMenuItem(g, {6, y, 188, h}, item.separator, item.active,
                                              item.highlighted, item.ticked, item.subMenu, item.text, {},
                                              nullptr, nullptr);
                y += h;
            }
        }

        const juce::String tip(
            "Release\nHow fast the gain recovers once the level falls below the threshold.");
        const auto tipBounds = lookAndFeel.getTooltipBounds(tip, {240, 20}, {0, 0, 560, 300});
        {
            juce::Graphics::ScopedSaveState saved(g);
            g.setOrigin(tipBounds.getPosition());
            lookAndFeel.drawTooltip(g, tip, tipBounds.getWidth(), tipBounds.getHeight());
        }

        // The switch off, a hovered chip, the source button open and a learn button learning.
        juce::ToggleButton off("DRIVE"), chip("AUTO GAIN");
        juce::TextButton source("Bass  " + juce::String::charToString(0x203A) + "  Slap"),
            learning("LEARNING");
        off.getProperties().set("tq4Switch", true);
        source.getProperties().set("tq4Drop", true);
        source.getProperties().set("tq4Open", true);
        learning.getProperties().set("tq4Learn", true);
        learning.setToggleState(true, juce::dontSendNotification);
        off.setSize(46, 24);
        chip.setSize(84, 24);
        source.setSize(216, 40);
        learning.setSize(130, 48);

        const auto drawAt = [&](juce::Point<int> origin, auto&& draw)
        {
            juce::Graphics::ScopedSaveState saved(g);
            g.setOrigin(origin);
            draw();
        };
        drawAt({250, 150}, [&] { lookAndFeel.drawToggleButton(g, off, false, false); });
        drawAt({310, 150}, [&] { lookAndFeel.drawToggleButton(g, chip, true, false); });
        drawAt({250, 190},
               [&]
               {
                   lookAndFeel.drawButtonBackground(g, source, {}, false, false);
                   lookAndFeel.drawButtonText(g, source, false, false);
               });
        drawAt({250, 240},
               [&]
               {
                   lookAndFeel.drawButtonBackground(g, learning, {}, false, false);
                   lookAndFeel.drawButtonText(g, learning, false, false);
               });
    }

    const auto file = snapshotFile("tq4-ui-snapshot-menus.png");
    file.deleteFile();
    {
        juce::FileOutputStream out(file);
        ASSERT_TRUE(out.openedOk());
        ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(image, out));
    }
    EXPECT_EQ(juce::ImageFileFormat::loadFrom(file).getWidth(), 1120);
}
