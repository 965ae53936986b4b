#include "ui/TargetMarker.h"

#include "adapt/SourceCatalogue.h"
#include "plugin/ParameterLayout.h"
#include "plugin/PluginProcessor.h"
#include "ui/DialGeometry.h"
#include "ui/GainReductionView.h"
#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

float targetForDialAngle(float angleDegrees, float maxDb)
{
    const float angle = juce::jlimit(dialStartDegrees, dialStartDegrees + dialSweepDegrees, angleDegrees);
    float db = juce::jlimit(1.0f, dialMaxDb, dialDbForAngle(angle));
    db = juce::jlimit(1.0f, dialMaxDb, std::round(db * 10.0f) / 10.0f);
    return std::min(db, maxDb);
}

bool dragPassedDeadZone(float distanceFromDown)
{
    return juce::roundToInt(distanceFromDown) > 2;
}

} // namespace tq4

namespace
{

constexpr float hitRadius = 15.0f;

juce::PathStrokeType roundStroke(float thickness)
{
    return {thickness, juce::PathStrokeType::curved, juce::PathStrokeType::rounded};
}

juce::Path radialLine(juce::Point<float> centre, float degrees, float from, float to)
{
    juce::Path path;
    path.startNewSubPath(tq4::pointOnDial(centre, from, degrees));
    path.lineTo(tq4::pointOnDial(centre, to, degrees));
    return path;
}

// Points inwards at the arc: tip at radius tipRadius, base further out.
juce::Path pointerTriangle(juce::Point<float> centre, float degrees, float tipRadius, float baseRadius,
                           float halfWidth)
{
    const float a = juce::degreesToRadians(degrees);
    const juce::Point<float> across(std::cos(a) * halfWidth, std::sin(a) * halfWidth);
    const auto tip = tq4::pointOnDial(centre, tipRadius, degrees);
    const auto base = tq4::pointOnDial(centre, baseRadius, degrees);
    juce::Path path;
    path.addTriangle(tip, base + across, base - across);
    return path;
}

} // namespace

TargetMarker::TargetMarker(TQ4AudioProcessor& p) : processor(p)
{
    setWantsKeyboardFocus(false);
    setMouseClickGrabsKeyboardFocus(false);
    refresh();
}

void TargetMarker::setCentre(int x, int y)
{
    centre = {x, y};
    repaint();
}

void TargetMarker::setRadius(float r)
{
    radius = r;
    repaint();
}

void TargetMarker::setTooltipText(const juce::String& text)
{
    tooltip = text;
}

void TargetMarker::refresh()
{
    const bool nowAvailable = processor.targetAvailable.load();
    const bool nowModified = processor.targetModified.load();
    const float nowTarget = processor.targetDb.load();
    const float nowMax = processor.targetMaxDb.load();
    learnDb = processor.targetLearnDb.load();

    const bool changed = nowAvailable != available || nowModified != modified ||
                         std::abs(nowTarget - targetDb) > 1.0e-4f || std::abs(nowMax - maxDb) > 1.0e-4f;
    available = nowAvailable;
    modified = nowModified;
    targetDb = nowTarget;
    maxDb = nowMax;
    if (changed)
        repaint();
}

juce::Point<float> TargetMarker::localCentre() const
{
    return (centre - getPosition()).toFloat();
}

juce::Point<float> TargetMarker::knobPoint() const
{
    return tq4::pointOnDial(localCentre(), radius, tq4::dialAngleForDb(targetDb));
}

bool TargetMarker::hitTest(int x, int y)
{
    if (!available || radius <= 0.0f)
        return false;
    return juce::Point<float>((float)x, (float)y).getDistanceFrom(knobPoint()) <= hitRadius;
}

void TargetMarker::setHover(bool isOver)
{
    if (hover == isOver)
        return;
    hover = isOver;
    repaint();
}

void TargetMarker::mouseEnter(const juce::MouseEvent&)
{
    setHover(true);
}

void TargetMarker::mouseMove(const juce::MouseEvent&)
{
    setHover(true);
}

void TargetMarker::mouseExit(const juce::MouseEvent&)
{
    setHover(false);
}

void TargetMarker::mouseDown(const juce::MouseEvent& e)
{
    if (e.mods.isRightButtonDown() || !available)
        return;

    processor.history.beginGesture();
    dragging = true;
    moved = false;
    // Keeps the marker where it is under the pointer, wherever on the knob the click landed.
    angleOffset = tq4::dialAngleForDb(targetDb) - tq4::pointerAngle(localCentre(), e.position);
    lastWrittenDb = targetDb;
}

void TargetMarker::mouseDrag(const juce::MouseEvent& e)
{
    if (!dragging || !available)
        return;
    if (!moved && !tq4::dragPassedDeadZone(e.position.getDistanceFrom(e.mouseDownPosition)))
        return;
    moved = true;

    const float db =
        tq4::targetForDialAngle(tq4::pointerAngle(localCentre(), e.position) + angleOffset, maxDb);
    // A modified target is rewritten even at the same value, which re-solves the settings.
    if (std::abs(db - lastWrittenDb) > 1.0e-4f || modified)
        if (processor.writeTarget(db))
            lastWrittenDb = db;
    refresh();
}

void TargetMarker::mouseUp(const juce::MouseEvent&)
{
    if (!dragging)
        return;
    dragging = false;
    processor.history.endGesture();
}

void TargetMarker::mouseDoubleClick(const juce::MouseEvent& e)
{
    if (e.mods.isRightButtonDown() || !available)
        return;

    processor.history.beginGesture();
    const int source = juce::roundToInt(processor.apvts.getRawParameterValue(tq4::ParamIds::source)->load());
    const int detail = tq4::clampDetail(
        source, juce::roundToInt(processor.apvts.getRawParameterValue(tq4::ParamIds::nuance)->load()));
    processor.writeTarget(tq4::sourceProfile(source, detail).defaultTargetDb);
    processor.history.endGesture();
    refresh();
}

juce::String TargetMarker::getTooltip()
{
    return available ? tooltip : juce::String();
}

void TargetMarker::paint(juce::Graphics& g)
{
    if (!available || radius <= 0.0f)
        return;

    const auto c = localCentre();
    const float r = radius;
    const float k = modified ? 0.35f : 1.0f;
    const auto colour = hover ? tq4::towardsWhite(tq4::colAmber, 10, 13) : tq4::colAmber;

    if (maxDb < 19.95f)
    {
        g.setColour(tq4::whiteAt(0.6f * k));
        g.strokePath(radialLine(c, tq4::dialAngleForDb(maxDb), r - 7.0f, r + 7.0f), roundStroke(2.0f));
    }

    const float theta = tq4::dialAngleForDb(targetDb);
    const auto line = radialLine(c, theta, r - 9.0f, r + 9.0f);
    const auto triangle = pointerTriangle(c, theta, r + 10.0f, r + 19.0f, hover ? 7.5f : 6.5f);

    if (hover)
        for (const auto& [thickness, alpha] : {std::pair{9.0f, 0.1f}, std::pair{5.0f, 0.2f}})
        {
            g.setColour(tq4::colAmber.withAlpha(k * alpha));
            g.strokePath(line, roundStroke(thickness));
            g.strokePath(triangle, roundStroke(0.5f * thickness));
        }

    g.setColour(colour.withAlpha(k));
    g.strokePath(line, roundStroke(hover ? 3.2f : 2.4f));
    g.fillPath(triangle);
}
