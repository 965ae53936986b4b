#include "plugin/SavedState.h"

#include "learn/MakeupTexts.h"

#include <cmath>

namespace tq4
{

namespace
{
const juce::Identifier paramType{"PARAM"};
const juce::Identifier idProperty{"id"};
const juce::Identifier valueProperty{"value"};

// A stored number, or fallback when the value is not a finite number (XML gives every value as text).
double numberOr(const juce::var& v, double fallback)
{
    double value = fallback;
    if (v.isString())
    {
        const auto text = v.toString().trim();
        if (text.isNotEmpty() && text.length() < 64 && text.containsOnly("0123456789+-.eE"))
            value = text.getDoubleValue();
    }
    else if (v.isInt() || v.isInt64() || v.isBool() || v.isDouble())
        value = static_cast<double>(v);
    return std::isfinite(value) ? value : fallback;
}
// ValueTree counts "-09.0" and -9.0 as equal and would keep the text; replacing it makes the stored
// form canonical, so a restored state saves back exactly as it was read.
void storeNumber(juce::ValueTree& tree, const juce::Identifier& property, const juce::var& value)
{
    const auto& existing = tree[property];
    if (existing.isDouble() == value.isDouble() && existing.isInt() == value.isInt() && existing == value)
        return;
    tree.removeProperty(property, nullptr);
    tree.setProperty(property, value, nullptr);
}

// Well-formed UTF-8 only: the framework accepts overlong forms, which then change on every save.
bool isStrictUtf8(const uint8_t* text, size_t size)
{
    for (size_t i = 0; i < size;)
    {
        const uint8_t c = text[i];
        size_t extra = 0;
        uint32_t codePoint = 0, lowest = 0;
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        if ((c & 0xe0) == 0xc0)
            extra = 1, codePoint = c & 0x1fu, lowest = 0x80;
        else if ((c & 0xf0) == 0xe0)
            extra = 2, codePoint = c & 0x0fu, lowest = 0x800;
        else if ((c & 0xf8) == 0xf0)
            extra = 3, codePoint = c & 0x07u, lowest = 0x10000;
        else
            return false;
        if (i + extra >= size)
            return false;
        for (size_t k = 1; k <= extra; ++k)
        {
            if ((text[i + k] & 0xc0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (text[i + k] & 0x3fu);
        }
        if (codePoint < lowest || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

bool isPlainName(const juce::String& name)
{
    return name.isNotEmpty() &&
           name.containsOnly("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.:");
}

// XML forbids repeating an attribute, and every name the plug-in writes is plain ASCII; the
// framework's parser lets both through, and such names do not survive a save unchanged.
bool hasUnusableNames(const juce::XmlElement& element)
{
    if (!isPlainName(element.getTagName()))
        return true;
    juce::StringArray names;
    for (int i = 0; i < element.getNumAttributes(); ++i)
    {
        const auto name = element.getAttributeName(i);
        if (!isPlainName(name) || names.contains(name))
            return true;
        names.add(name);
    }
    for (const auto* child : element.getChildIterator())
        if (hasUnusableNames(*child))
            return true;
    return false;
}

} // namespace

const std::array<BaseSetting, 11>& baseSettingsTable()
{
    static const std::array<BaseSetting, 11> table{{
        {"threshold", "tq4BaseThreshold", false},
        {"ratio", "tq4BaseRatio", false},
        {"attack", "tq4BaseAttack", false},
        {"release", "tq4BaseRelease", false},
        {"knee", "tq4BaseKnee", false},
        {"mix", "tq4BaseMix", false},
        {"drive", "tq4BaseDrive", false},
        {"autoMakeup", "tq4BaseAutoMakeup", true},
        {"autoRelease", "tq4BaseAutoRelease", true},
        {"driveType", "tq4BaseDriveType", true},
        {"character", StateProps::baseCharacter, true},
    }};
    return table;
}

const BaseSetting* findBaseSetting(const juce::String& parameterId)
{
    for (const auto& entry : baseSettingsTable())
        if (parameterId == entry.parameterId)
            return &entry;
    return nullptr;
}

juce::ValueTree findParamChild(const juce::ValueTree& state, const juce::String& parameterId)
{
    for (const auto& child : state)
        if (child.hasType(paramType) && child[idProperty].toString() == parameterId)
            return child;
    return {};
}

bool hasParamValue(const juce::ValueTree& state, const juce::String& parameterId)
{
    return findParamChild(state, parameterId).hasProperty(valueProperty);
}

double paramValue(const juce::ValueTree& state, const juce::String& parameterId, double fallback)
{
    const auto child = findParamChild(state, parameterId);
    return child.hasProperty(valueProperty) ? static_cast<double>(child[valueProperty]) : fallback;
}

void setParamValue(juce::ValueTree& state, const juce::String& parameterId, double value)
{
    auto child = findParamChild(state, parameterId);
    if (!child.isValid())
    {
        child = juce::ValueTree(paramType);
        child.setProperty(idProperty, parameterId, nullptr);
        state.appendChild(child, nullptr);
    }
    child.setProperty(valueProperty, value, nullptr);
}

double baseValue(const juce::ValueTree& state, const juce::String& parameterId, double fallback)
{
    const auto* entry = findBaseSetting(parameterId);
    if (entry == nullptr || !state.hasProperty(entry->property))
        return fallback;
    return static_cast<double>(state[entry->property]);
}

void captureBaseSettings(juce::ValueTree& state, const std::function<double(const juce::String&)>& current)
{
    const bool characterWasChosenByLearn =
        static_cast<bool>(state.getProperty(StateProps::learnCharAuto, false));

    for (const auto& entry : baseSettingsTable())
    {
        if (state.hasProperty(entry.property))
            continue;
        const double value = hasParamValue(state, entry.parameterId)
                                 ? paramValue(state, entry.parameterId, 0.0)
                                 : current(entry.parameterId);
        // An older state let the learn pick the character; it now lives in the base and AUTO follows it.
        if (characterWasChosenByLearn && entry.property == StateProps::baseCharacter &&
            juce::roundToInt(value) != 0)
            setParamValue(state, entry.parameterId, 0.0);
        state.setProperty(entry.property, value, nullptr);
    }
    state.removeProperty(StateProps::learnCharAuto, nullptr);
}

void sanitiseStoredValues(juce::ValueTree& state, const juce::AudioProcessorValueTreeState& apvts)
{
    for (auto child : state)
    {
        if (!child.hasType(paramType) || !child.hasProperty(valueProperty))
            continue;
        const auto* parameter = apvts.getParameter(child[idProperty].toString());
        if (parameter == nullptr)
            continue;
        const auto range = parameter->getNormalisableRange();
        // Held to a value the parameter can take, so the stored text and the parameter always agree.
        const double stored =
            numberOr(child[valueProperty], range.convertFrom0to1(parameter->getDefaultValue()));
        const double value = range.snapToLegalValue(static_cast<float>(
            juce::jlimit(static_cast<double>(range.start), static_cast<double>(range.end), stored)));
        storeNumber(child, valueProperty, value);
    }

    // A missing property is filled in again by the migration; a damaged one must not survive.
    const auto keepNumber = [&state](const juce::Identifier& property, bool integer)
    {
        if (!state.hasProperty(property))
            return;
        const double value = numberOr(state[property], NAN);
        if (!std::isfinite(value) || std::abs(value) > 1.0e6)
            state.removeProperty(property, nullptr);
        else if (integer)
            storeNumber(state, property, juce::roundToInt(value));
        else
            storeNumber(state, property, value);
    };
    for (const auto& property :
         {StateProps::appliedSource, StateProps::appliedNuance, StateProps::appliedCharacter})
        keepNumber(property, true);
    keepNumber(StateProps::targetDb, false);
    for (const auto& entry : baseSettingsTable())
        keepNumber(entry.property, false);
}

std::unique_ptr<juce::XmlElement> readStateXml(const void* data, int sizeInBytes)
{
    constexpr uint32_t magic = 0x21324356;
    if (data == nullptr || sizeInBytes <= 8 || juce::ByteOrder::littleEndianInt(data) != magic)
        return nullptr;
    const auto length = juce::ByteOrder::littleEndianInt(juce::addBytesToPointer(data, 4));
    if (length == 0 || length > static_cast<uint32_t>(sizeInBytes - 8))
        return nullptr;

    // juce::String assumes valid UTF-8; a damaged byte would otherwise let text functions read past
    // the end of a string.
    const auto* text = static_cast<const char*>(data) + 8;
    if (!isStrictUtf8(reinterpret_cast<const uint8_t*>(text), length))
        return nullptr;

    juce::XmlDocument document(juce::String::fromUTF8(text, static_cast<int>(length)));
    auto xml = document.getDocumentElement();
    if (xml == nullptr || document.getLastParseError().isNotEmpty() || hasUnusableNames(*xml))
        return nullptr;
    return xml;
}

juce::String writeDriveEqText(const LearnedProfile::DriveCompensation& table)
{
    if (!table.valid)
        return {};
    juce::StringArray groups;
    for (int type = 0; type < EngineSettings::driveTypes; ++type)
    {
        juce::StringArray values;
        for (int column = 1; column < EngineSettings::driveCompAmounts; ++column)
            values.add(juce::String(table.db[type][column], 3));
        groups.add(juce::String(type) + "=" + values.joinIntoString(","));
    }
    return groups.joinIntoString(" ");
}

LearnedProfile::DriveCompensation readDriveEqText(const juce::String& text)
{
    LearnedProfile::DriveCompensation table;
    bool seen[EngineSettings::driveTypes] = {};

    for (const auto& group : juce::StringArray::fromTokens(text, " ", ""))
    {
        const auto typeText = group.upToFirstOccurrenceOf("=", false, false);
        if (!group.contains("=") || typeText.isEmpty() || !typeText.containsOnly("0123456789") ||
            typeText.length() > 3)
            return {};
        const int type = typeText.getIntValue();
        if (type > 3 || seen[type])
            return {};
        seen[type] = true;

        const auto values =
            juce::StringArray::fromTokens(group.fromFirstOccurrenceOf("=", false, false), ",", "");
        if (values.size() != 4)
            return {};
        for (int i = 0; i < 4; ++i)
        {
            if (values[i].isEmpty() || !values[i].containsOnly("0123456789+-."))
                return {};
            const double v = values[i].getDoubleValue();
            if (!std::isfinite(v))
                return {};
            table.db[type][i + 1] = static_cast<float>(juce::jlimit(-24.0, 24.0, v));
        }
    }

    for (bool s : seen)
        if (!s)
            return {};
    table.valid = true;
    return table;
}

LearnedProfile deriveLearnedProfile(const juce::ValueTree& state)
{
    LearnedProfile profile;
    if (!static_cast<bool>(state.getProperty(StateProps::learnValid, false)))
        return profile;

    profile.histogram = readMakeupHistogramText(state[StateProps::learnMkHist].toString());
    if (!profile.histogram.valid)
        return {};

    readMakeupCurveText(state[StateProps::learnMkCurve].toString(), profile.makeup);
    profile.driveComp = readDriveEqText(state[StateProps::learnDriveEq].toString());
    profile.present = true;
    return profile;
}

} // namespace tq4
