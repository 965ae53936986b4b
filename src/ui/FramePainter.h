#pragma once

#include "ui/BackgroundImage.h"

#include <juce_graphics/juce_graphics.h>

// The static frame of the editor window, one function per painting step. The editor's paint calls
// them in this order, handing over to the dial and history painters where noted:
//
//   paintGround (g, getLocalBounds());
//   paintBackdrop (g, background, getLocalBounds(), contentScale, contentTransform, bypassed);
//   g.addTransform (contentTransform);             // design units from here on
//   paintHeader (g);
//   beginBypassDim (g, bypassed);                  // everything below at 40 % while bypassed
//   paintDriveOutline (g, driveOn);
//   paintPanels (g);
//   ... dial base ...
//   paintSectionTitles (g);
//   paintKnobCaption (g, knob, dimmed) for threshold, ratio, attack, release, knee, mix, output, amount
//   ... dial contents and breadcrumb ...
//   paintHistoryStripPanel (g);
//   ... history contents ...
//   endBypassDim (g, bypassed);
namespace tq4
{

class TQ4Knob;

// The whole editor in the ground colour; this also fills the letterbox margins.
void paintGround(juce::Graphics& g, juce::Rectangle<int> editorBounds);

// The cached background image, darkened while bypassed.
void paintBackdrop(juce::Graphics& g, BackgroundImage& background, juce::Rectangle<int> editorBounds,
                   float contentScale, const juce::AffineTransform& contentTransform, bool bypassed);

// The brand and the title; never dimmed by the bypass.
void paintHeader(juce::Graphics& g);

void beginBypassDim(juce::Graphics& g, bool bypassed);
void endBypassDim(juce::Graphics& g, bool bypassed);

// The orange glow around the drive/output panel while drive is on.
void paintDriveOutline(juce::Graphics& g, bool driveOn);

// The compressor and drive/output panels.
void paintPanels(juce::Graphics& g);

// "COMPRESSOR", "DRIVE", "OUTPUT" and the separator between the drive and output sections.
void paintSectionTitles(juce::Graphics& g);

// A caption centred under its knob; dimmed draws it at half its alpha (amount knob while drive
// is off, release knob while disabled).
void paintKnobCaption(juce::Graphics& g, const juce::String& caption, juce::Point<float> anchor, bool dimmed);
void paintKnobCaption(juce::Graphics& g, const TQ4Knob& knob, bool dimmed);

// The history strip's panel; its contents are drawn over it.
void paintHistoryStripPanel(juce::Graphics& g);

} // namespace tq4
