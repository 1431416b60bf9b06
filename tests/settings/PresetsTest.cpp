#include "settings/Presets.h"
#include "TestSupport.h"
#include <cstring>
#include <gtest/gtest.h>

namespace
{
_PRESET_NODE examplePreset()
{
    _PRESET_NODE n;
    n.MCUName = "ORV828";
    n.FlashList = {"S29GL512_S", "S29GL01G_S"};
    n.UseWordAddress = true;
    n.ReadAndCheckAfterWrite = true;
    return n;
}

std::unique_ptr<juce::XmlElement> saved(const _PRESET_NODE& n)
{
    CLocalPreset store;
    auto root = std::make_unique<juce::XmlElement>("Preset");
    store.saveNode(*root, n);
    return root;
}
} // namespace

TEST(PresetStore, NamesMatchWithoutCaseAndKeepTheirOrder)
{
    CLocalPreset store;
    EXPECT_TRUE(store.getNames().isEmpty());
    EXPECT_EQ(store.find("x"), nullptr);
    _PRESET_NODE a;
    a.FlashPage = 1;
    EXPECT_EQ(store.store("ABC", a), 0);
    a.FlashPage = 2;
    EXPECT_EQ(store.store("Second", a), 0);
    a.FlashPage = 3;
    EXPECT_EQ(store.store("third", a), 0);
    a.FlashPage = 9;
    EXPECT_EQ(store.store("abc", a), 0); // replaces, keeps the old name
    EXPECT_EQ(store.getNames(), juce::StringArray({"ABC", "Second", "third"}));
    ASSERT_NE(store.find("aBc"), nullptr);
    EXPECT_EQ(store.find("aBc")->FlashPage, 9);

    EXPECT_EQ(store.remove("SECOND"), 0);
    EXPECT_EQ(store.getNames(), juce::StringArray({"ABC", "third"}));
    EXPECT_EQ(store.remove("missing"), -1);
    EXPECT_EQ(store.getNames().size(), 2);

    // An empty name is a name like any other.
    store.store({}, a);
    EXPECT_NE(store.find({}), nullptr);
    EXPECT_EQ(store.remove({}), 0);
}

TEST(PresetXml, ExampleIsSavedAsTheFourElements)
{
    const auto xml =
        saved(examplePreset())->toString(juce::XmlElement::TextFormat().singleLine().withoutHeader());
    EXPECT_EQ(
        xml,
        "<Preset><Global MCUName=\"ORV828\" FlashPage=\"0\" UseWordAddress=\"1\" BeepWhenDone=\"0\" "
        "ReadAndCheckAfterWrite=\"1\"/><FlashList FlashName0=\"S29GL512_S\" FlashName1=\"S29GL01G_S\"/>"
        "<WriteSetting Name=\"\" Length=\"0\" FileOffset=\"0\" FlashOffset=\"0\"/><ReadSetting Name=\"\" "
        "FlashOffset=\"0\" Length=\"0\"/></Preset>");
    // And it reads back to the same node.
    CLocalPreset store;
    _PRESET_NODE back;
    store.loadNode(*saved(examplePreset()), back);
    EXPECT_EQ(back.MCUName, "ORV828");
    EXPECT_EQ(back.FlashList, examplePreset().FlashList);
    EXPECT_TRUE(back.UseWordAddress);
    EXPECT_FALSE(back.BeepWhenDone);
    EXPECT_TRUE(back.ReadAndCheckAfterWrite);

    _PRESET_NODE empty;
    const auto noFlash = saved(empty)->toString(juce::XmlElement::TextFormat().singleLine().withoutHeader());
    EXPECT_TRUE(noFlash.contains("<FlashList/>")) << noFlash;
}

TEST(PresetXml, ReadingRules)
{
    CLocalPreset store;
    _PRESET_NODE n;
    n.WriteFileName = "kept";
    n.FlashList = {"old"};
    auto xml = juce::parseXML("<P><Global MCUName='M' FlashPage=' -12xyz' UseWordAddress='7'/>"
                              "<FlashList FlashName1='a' Other='b' FlashName0='c' FlashNameX='d'/>"
                              "<global MCUName='ignored'/><writesetting Name='ignored'/>"
                              "<ReadSetting Name='r' FlashOffset='99999999999' Length='+5'/></P>");
    store.loadNode(*xml, n);
    EXPECT_EQ(n.MCUName, "M");
    EXPECT_EQ(n.FlashPage, -12);
    EXPECT_TRUE(n.UseWordAddress);
    EXPECT_EQ(n.FlashList, juce::StringArray({"a", "c", "d"}));
    EXPECT_EQ(n.WriteFileName, "kept"); // its element is missing
    EXPECT_EQ(n.ReadFileName, "r");
    EXPECT_EQ(n.ReadFlashOffset, INT32_MAX);
    EXPECT_EQ(n.ReadLength, 5);

    auto emptyList = juce::parseXML("<P><FlashList/><WriteSetting/></P>");
    store.loadNode(*emptyList, n);
    EXPECT_TRUE(n.FlashList.isEmpty());
    EXPECT_EQ(n.WriteFileName, "");
    EXPECT_EQ(n.WriteLength, 0);

    // Texts longer than 259 characters are cut.
    const auto longName = juce::String::repeatedString("x", 400);
    auto big = juce::parseXML("<P><Global MCUName='" + longName + "'/></P>");
    store.loadNode(*big, n);
    EXPECT_EQ(n.MCUName.length(), 259);
}

TEST(GlobalXml, WindowDefaultsAndKeptValues)
{
    GlobalPreset store;
    _GLOBAL_NODE_ g;
    g.WorkMode = true;
    g.DriverPath = "/drivers";
    g.WinLeft = 1;
    store.loadNode(*juce::parseXML("<G/>"), g);
    EXPECT_EQ(g.WinLeft, 100);
    EXPECT_EQ(g.WinTop, 100);
    EXPECT_EQ(g.WinWidth, 500);
    EXPECT_EQ(g.WinHeight, 600);
    EXPECT_TRUE(g.WorkMode);
    EXPECT_EQ(g.DriverPath, "/drivers");

    store.loadNode(*juce::parseXML("<G><WinSize width='7'/><WorkMode/><DriverPath/></G>"), g);
    EXPECT_EQ(g.WinWidth, 7);
    EXPECT_EQ(g.WinLeft, 100);
    EXPECT_FALSE(g.WorkMode);
    EXPECT_EQ(g.DriverPath, "");

    _GLOBAL_NODE_ out;
    out.WorkMode = true;
    out.WinLeft = -5;
    out.DriverPath = "p";
    juce::XmlElement root("G");
    store.saveNode(root, out);
    EXPECT_EQ(root.toString(juce::XmlElement::TextFormat().singleLine().withoutHeader()),
              "<G><WorkMode Mode=\"1\"/><WinSize left=\"-5\" top=\"100\" width=\"500\" height=\"600\"/>"
              "<DriverPath path=\"p\"/></G>");
}

// The file holds standard XML that any parser reads as the four elements:
// the declaration, markup characters as the predefined entities. Compared
// byte for byte, so the test needs no parser of another platform.
TEST(PresetXml, TheSavedFileIsPlainXml)
{
    auto folder = testing_support::makeTempFolder("tamarind-xml");
    auto n = examplePreset();
    n.WriteFileName = juce::String::fromUTF8("/m\xc3\xbcsic/a&b <1>.rom");
    n.ReadLength = -3;
    const auto file = folder.getChildFile("preset.xml");
    ASSERT_TRUE(saved(n)->writeTo(file));
    juce::MemoryBlock bytes;
    ASSERT_TRUE(file.loadFileAsData(bytes));
    // JUCE's writer: CR LF line ends, long elements wrapped with their
    // attributes aligned, characters past ASCII as numeric references.
    EXPECT_EQ(bytes.toString(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "\r\n"
              "<Preset>\r\n"
              "  <Global MCUName=\"ORV828\" FlashPage=\"0\" UseWordAddress=\"1\" BeepWhenDone=\"0\"\r\n"
              "          ReadAndCheckAfterWrite=\"1\"/>\r\n"
              "  <FlashList FlashName0=\"S29GL512_S\" FlashName1=\"S29GL01G_S\"/>\r\n"
              "  <WriteSetting Name=\"/m&#252;sic/a&amp;b &lt;1&gt;.rom\" Length=\"0\" FileOffset=\"0\"\r\n"
              "                FlashOffset=\"0\"/>\r\n"
              "  <ReadSetting Name=\"\" FlashOffset=\"0\" Length=\"-3\"/>\r\n"
              "</Preset>\r\n");
    folder.deleteRecursively();
}

// Found by fuzzing: a broken UTF-8 sequence at the end of the text made the
// XML parser read past the end of its buffer.
TEST(PresetXml, BytesThatAreNotUtf8AreRefusedBeforeParsing)
{
    const char broken[] = "<Preset><Global MCUName=\"0\" FlashOffset=\"0\"/><ReadSetting< Name=\"\" "
                          "\xff\xff\xff\xff\xff\xffPres\xff";
    EXPECT_EQ(parseSettingsXml(broken, sizeof(broken) - 1), nullptr);
    const char cutSequence[] = "<P a=\"\xc3\"/>";
    EXPECT_EQ(parseSettingsXml(cutSequence, sizeof(cutSequence) - 1), nullptr);
    // An overlong form ("/" as C1 AF), which JUCE's own check lets through and
    // its strings then copy past their end; a surrogate; a code point past U+10FFFF.
    for (const char* notUtf8 : {" <Pr\xc1\xafsz/>", "<P a=\"\xed\xa0\x80\"/>", "<P a=\"\xf4\x90\x80\x80\"/>",
                                "<P a=\"\xe0\x80\xaf\"/>"})
        EXPECT_EQ(parseSettingsXml(notUtf8, std::strlen(notUtf8)), nullptr) << notUtf8;
    const char fourBytes[] = "<P a=\"\xf0\x9f\x8e\xb9\"/>";
    EXPECT_NE(parseSettingsXml(fourBytes, sizeof(fourBytes) - 1), nullptr);

    // Also found by fuzzing: a processing instruction followed by text inside
    // an element sent the parser into an endless loop.
    const char instruction[] = "<P><?x?>b</P>";
    EXPECT_EQ(parseSettingsXml(instruction, sizeof(instruction) - 1), nullptr);

    // And an unfinished hexadecimal character reference at the end, which
    // made the parser step past the end of the text.
    for (const char* reference : {"<P><G>O&#x28", "<P>&#x;</P>", "<P>&#0;</P>", "<P>&#xD800;</P>",
                                  "<P>&#1114112;</P>", "<P>&#x123456789;</P>"})
        EXPECT_EQ(parseSettingsXml(reference, std::strlen(reference)), nullptr) << reference;
    // And an unknown entity after a zero byte: the parser expanded it past the
    // end of the text. Unknown entities, document types and zero bytes are
    // refused; the predefined entities and comments are kept.
    const char afterZero[] = "<P><Q>a\0b&;</Q></P>";
    EXPECT_EQ(parseSettingsXml(afterZero, sizeof(afterZero) - 1), nullptr);
    for (const char* other :
         {"<P>&;</P>", "<P>&foo;</P>", "<P>&amp</P>", "<!DOCTYPE P><P/>", "<P><![CDATA[x]]></P>"})
        EXPECT_EQ(parseSettingsXml(other, std::strlen(other)), nullptr) << other;
    const char kept[] = "<!-- settings --><P a=\"&amp;&lt;&gt;&quot;&apos;\"><!-- x --></P>";
    auto withEntities = parseSettingsXml(kept, sizeof(kept) - 1);
    ASSERT_NE(withEntities, nullptr);
    EXPECT_EQ(withEntities->getStringAttribute("a"), "&<>\"'");

    // Every form the stores save passes, whatever text it holds.
    auto odd = examplePreset();
    odd.WriteFileName = juce::String::fromUTF8("a&b<c>\"d'e\x01f\xc3\xbc");
    const auto form = saved(odd)->toString().toStdString();
    auto back = parseSettingsXml(form.data(), form.size());
    ASSERT_NE(back, nullptr) << form;
    _PRESET_NODE again;
    CLocalPreset().loadNode(*back, again);
    EXPECT_EQ(again.WriteFileName, odd.WriteFileName);

    const char referenced[] = "<P a=\"&#x4D;&#252;\"/>";
    auto withReferences = parseSettingsXml(referenced, sizeof(referenced) - 1);
    ASSERT_NE(withReferences, nullptr);
    EXPECT_EQ(withReferences->getStringAttribute("a"), juce::String::fromUTF8("M\xc3\xbc"));

    const char good[] = "<?xml version=\"1.0\"?> <P><Global MCUName=\"M\xc3\xbc\"/></P>";
    auto xml = parseSettingsXml(good, sizeof(good) - 1);
    ASSERT_NE(xml, nullptr);
    _PRESET_NODE n;
    CLocalPreset().loadNode(*xml, n);
    EXPECT_EQ(n.MCUName, juce::String::fromUTF8("M\xc3\xbc"));
}

// Nesting 40,000 levels deep overflowed the stack inside the parser.
TEST(PresetXml, DeepNestingIsRefusedBeforeParsing)
{
    auto nested = [](int levels, const std::string& attributes)
    {
        std::string text;
        for (int i = 0; i < levels; ++i)
            text += "<a" + attributes + ">";
        for (int i = 0; i < levels; ++i)
            text += "</a>";
        return text;
    };
    for (const int levels : {40000, kMaxSettingsNesting + 1})
    {
        const auto deep = nested(levels, "");
        EXPECT_EQ(parseSettingsXml(deep.data(), deep.size()), nullptr) << levels;
    }
    // Neither comments, nor empty elements side by side, nor ">" or "/>" in
    // attribute values count as levels.
    std::string flat = "<!-- <a><a><a> --><P>";
    for (int i = 0; i < 1000; ++i)
        flat += "<b x=\"1\"/><c></c>";
    flat += "</P>";
    EXPECT_NE(parseSettingsXml(flat.data(), flat.size()), nullptr);
    const auto atLimit = "<!-- <a><a> -->" + nested(kMaxSettingsNesting, " v=\"/>\" w='>'");
    EXPECT_NE(parseSettingsXml(atLimit.data(), atLimit.size()), nullptr);
}
