// Generates the program's pictures: the panel background, the three button
// faces, the logo, the connection drawings and the program's icon (SVG and PNGs
// of the usual sizes). Run at build time; the output folder is embedded as
// binary data, and the icons are installed for the desktop.
//
//   gen_pictures OUTPUT_FOLDER
#include <iostream>
#include <juce_graphics/juce_graphics.h>

namespace
{
using juce::Colour;

bool writePng(const juce::Image& image, const juce::File& file)
{
    file.deleteFile();
    juce::FileOutputStream out(file);
    juce::PNGImageFormat png;
    return out.openedOk() && png.writeImageToStream(image, out);
}

// Grey panel: a vertical gradient with a soft light from the upper left and a
// faint horizon line under the title area.
juce::Image background()
{
    juce::Image img(juce::Image::ARGB, 573, 284, true);
    juce::Graphics g(img);
    g.setGradientFill(juce::ColourGradient(Colour(0xff5d646b), 0, 0, Colour(0xff2a2f34), 0, 284, false));
    g.fillAll();
    juce::ColourGradient glow(Colour(0x40ffffff), 120, 20, Colour(0x00ffffff), 420, 260, true);
    g.setGradientFill(glow);
    g.fillAll();
    g.setGradientFill(juce::ColourGradient(Colour(0x00ffffff), 0, 98, Colour(0x30ffffff), 286, 98, false));
    g.fillRect(0, 98, 286, 1);
    g.setGradientFill(juce::ColourGradient(Colour(0x30ffffff), 286, 98, Colour(0x00ffffff), 573, 98, false));
    g.fillRect(286, 98, 287, 1);
    // A few very faint diagonal strokes give the surface some texture.
    g.setColour(Colour(0x06ffffff));
    for (int x = -284; x < 573; x += 9)
        g.drawLine((float)x, 284.0f, (float)x + 284.0f, 0.0f, 1.0f);
    return img;
}

juce::Image buttonFace(Colour top, Colour bottom, Colour border, float borderWidth, bool pressed)
{
    juce::Image img(juce::Image::ARGB, 100, 44, true);
    juce::Graphics g(img);
    const auto r = juce::Rectangle<float>(1.5f, 1.5f, 97.0f, 41.0f);
    // Soft shadow under the face.
    g.setColour(Colour(0x40000000));
    g.fillRoundedRectangle(r.translated(0, 1.5f), 9.0f);
    g.setGradientFill(juce::ColourGradient(top, 0, r.getY(), bottom, 0, r.getBottom(), false));
    g.fillRoundedRectangle(r, 9.0f);
    if (!pressed)
    {
        // Glossy upper half.
        g.setGradientFill(juce::ColourGradient(Colour(0x38ffffff), 0, r.getY(), Colour(0x05ffffff), 0,
                                               r.getCentreY(), false));
        g.fillRoundedRectangle(r.reduced(2.0f).withHeight(r.getHeight() * 0.5f), 7.0f);
    }
    else
    {
        g.setGradientFill(juce::ColourGradient(Colour(0x30000000), 0, r.getY(), Colour(0x00000000), 0,
                                               r.getY() + 10, false));
        g.fillRoundedRectangle(r.reduced(1.0f), 8.0f);
    }
    g.setColour(border);
    g.drawRoundedRectangle(r, 9.0f, borderWidth);
    return img;
}

// SVG path data ("M", "L", "Q", "C", "Z", absolute) of a JUCE path.
juce::String svgPathData(const juce::Path& path)
{
    juce::String d;
    auto n = [](float v) { return juce::String(v, 2); };
    for (juce::Path::Iterator it(path); it.next();)
    {
        switch (it.elementType)
        {
        case juce::Path::Iterator::startNewSubPath:
            d << "M" << n(it.x1) << " " << n(it.y1);
            break;
        case juce::Path::Iterator::lineTo:
            d << "L" << n(it.x1) << " " << n(it.y1);
            break;
        case juce::Path::Iterator::quadraticTo:
            d << "Q" << n(it.x1) << " " << n(it.y1) << " " << n(it.x2) << " " << n(it.y2);
            break;
        case juce::Path::Iterator::cubicTo:
            d << "C" << n(it.x1) << " " << n(it.y1) << " " << n(it.x2) << " " << n(it.y2) << " " << n(it.x3)
              << " " << n(it.y3);
            break;
        case juce::Path::Iterator::closePath:
            d << "Z";
            break;
        }
    }
    return d;
}

// The key mark shared by the logo and the program's icon: three white keys and
// two half-transparent black keys, in the logo's units (25 x 30 from (1, 3)).
struct Key
{
    float x, y, w, h, radius, opacity;
};
const Key keyMark[] = {{1, 3, 7, 30, 1.5f, 1.0f},
                       {10, 3, 7, 30, 1.5f, 1.0f},
                       {19, 3, 7, 30, 1.5f, 1.0f},
                       {6, 3, 5, 18, 1.0f, 0.55f},
                       {15, 3, 5, 18, 1.0f, 0.55f}};

juce::String svgNumber(float v)
{
    const juce::String text(v, 2);
    return text.containsChar('.') ? text.trimCharactersAtEnd("0").trimCharactersAtEnd(".") : text;
}

// The key mark as SVG rectangles, placed by `scale` and an offset.
juce::String keyMarkSvg(float scale, float dx, float dy, const juce::String& indent)
{
    juce::String out;
    for (const auto& k : keyMark)
    {
        out << indent << "<rect x=\"" << svgNumber(dx + k.x * scale) << "\" y=\""
            << svgNumber(dy + k.y * scale) << "\" width=\"" << svgNumber(k.w * scale) << "\" height=\""
            << svgNumber(k.h * scale) << "\" rx=\"" << svgNumber(k.radius * scale) << "\"";
        if (k.opacity < 1.0f)
            out << " fill-opacity=\"" << svgNumber(k.opacity) << "\"";
        out << "/>\n";
    }
    return out;
}

// The logo: three stylised piano keys and the word mark as outlines, all white,
// 138 x 36 units.
juce::String logoSvg()
{
    juce::GlyphArrangement glyphs;
    glyphs.addLineOfText(juce::Font(juce::Font::getDefaultSansSerifFontName(), 40.0f, juce::Font::bold),
                         "TAMARIND", 0, 0);
    juce::Path word;
    glyphs.createPath(word);
    word.applyTransform(word.getTransformToScaleToFit(31.0f, 9.0f, 106.0f, 22.0f, false));
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="138" height="36" viewBox="0 0 138 36">
  <g fill="#ffffff">
)" + keyMarkSvg(1.0f, 0.0f, 0.0f, "    ") +
           R"(    <path d=")" + svgPathData(word) + R"("/>
    <rect x="31" y="33" width="106" height="1.2" fill-opacity="0.6"/>
  </g>
</svg>
)";
}

// The program's icon, 64 x 64 units: the logo's key mark, larger, on a rounded
// tile with the panel's grey gradient. Drawn once as SVG and once into PNGs of
// the usual sizes from the same numbers.
constexpr float iconUnits = 64.0f, iconTileInset = 2.0f, iconTileRadius = 12.0f, iconKeyScale = 1.5f;
const Colour iconTop(0xff5d646b), iconBottom(0xff2a2f34), iconEdge(0xff22262a);

// Where the key mark goes: centred on the tile.
juce::Point<float> iconKeyOffset()
{
    return {(iconUnits - 25.0f * iconKeyScale) / 2.0f - 1.0f * iconKeyScale,
            (iconUnits - 30.0f * iconKeyScale) / 2.0f - 3.0f * iconKeyScale};
}

juce::String hexRgb(Colour c)
{
    return "#" + c.toDisplayString(false).toLowerCase();
}

juce::String iconSvg()
{
    const auto tile = iconUnits - 2.0f * iconTileInset;
    const auto offset = iconKeyOffset();
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <defs>
    <linearGradient id="tile" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color=")" +
           hexRgb(iconTop) + R"("/>
      <stop offset="1" stop-color=")" +
           hexRgb(iconBottom) + R"("/>
    </linearGradient>
  </defs>
  <rect x=")" +
           svgNumber(iconTileInset) + "\" y=\"" + svgNumber(iconTileInset) + "\" width=\"" + svgNumber(tile) +
           "\" height=\"" + svgNumber(tile) + "\" rx=\"" + svgNumber(iconTileRadius) +
           "\" fill=\"url(#tile)\" stroke=\"" + hexRgb(iconEdge) + R"(" stroke-width="1"/>
  <g fill="#ffffff">
)" + keyMarkSvg(iconKeyScale, offset.x, offset.y, "    ") +
           R"(  </g>
</svg>
)";
}

juce::Image iconImage(int size)
{
    juce::Image img(juce::Image::ARGB, size, size, true);
    juce::Graphics g(img);
    g.addTransform(juce::AffineTransform::scale((float)size / iconUnits));
    const auto tile = juce::Rectangle<float>(iconTileInset, iconTileInset, iconUnits - 2.0f * iconTileInset,
                                             iconUnits - 2.0f * iconTileInset);
    g.setGradientFill(juce::ColourGradient(iconTop, 0, tile.getY(), iconBottom, 0, tile.getBottom(), false));
    g.fillRoundedRectangle(tile, iconTileRadius);
    g.setColour(iconEdge);
    g.drawRoundedRectangle(tile, iconTileRadius, 1.0f);
    const auto offset = iconKeyOffset();
    for (const auto& k : keyMark)
    {
        g.setColour(juce::Colours::white.withAlpha(k.opacity));
        g.fillRoundedRectangle(offset.x + k.x * iconKeyScale, offset.y + k.y * iconKeyScale,
                               k.w * iconKeyScale, k.h * iconKeyScale, k.radius * iconKeyScale);
    }
    return img;
}

// Connection drawings: a plug and a socket, joined or apart, with a status mark.
juce::String connectionSvg(const juce::String& state, bool over)
{
    const juce::String body = over ? "#ffffff" : "#d8dde2";
    juce::String mark, plugX = "58";
    if (state == "connecting")
    {
        plugX = "70";
        mark = "<circle cx='100' cy='18' r='3' fill='#f5c542'/><circle cx='112' cy='18' r='3' fill='#f5c542' "
               "fill-opacity='0.7'/><circle cx='124' cy='18' r='3' fill='#f5c542' fill-opacity='0.4'/>";
    }
    else if (state == "disconnected")
    {
        plugX = "78";
        mark = "<path d='M104 10 L120 26 M120 10 L104 26' stroke='#e04040' stroke-width='4' "
               "stroke-linecap='round'/>";
    }
    else
    {
        const juce::String colour = state == "fullspeed" ? "#4cd964" : "#5ac8fa";
        const juce::String label = state == "fullspeed" ? "FS" : "HS";
        mark = "<circle cx='112' cy='18' r='11' fill='" + colour +
               "'/><text x='112' y='22.5' font-family='sans-serif' "
               "font-size='12' font-weight='bold' text-anchor='middle' fill='#1e2226'>" +
               label + "</text>";
    }
    return "<?xml version='1.0' encoding='UTF-8'?>\n"
           "<svg xmlns='http://www.w3.org/2000/svg' width='140' height='36' viewBox='0 0 140 36'>"
           "<rect x='4' y='12' width='30' height='12' rx='3' fill='" +
           body +
           "'/>"
           "<rect x='34' y='15' width='10' height='2.5' fill='" +
           body + "'/><rect x='34' y='18.5' width='10' height='2.5' fill='" + body +
           "'/>"
           "<rect x='" +
           plugX + "' y='10' width='26' height='16' rx='4' fill='" + body +
           "'/>"
           "<path d='M" +
           juce::String(plugX.getIntValue() + 26) + " 18 H96' stroke='" + body + "' stroke-width='3'/>" +
           mark + "</svg>\n";
}
} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::cerr << "usage: gen_pictures OUTPUT_FOLDER\n";
        return 2;
    }
    const juce::File out(juce::File::getCurrentWorkingDirectory().getChildFile(argv[1]));
    out.createDirectory();
    bool ok = writePng(background(), out.getChildFile("background.png"));
    ok = ok && writePng(buttonFace(Colour(0xff5f666d), Colour(0xff3b4046), Colour(0xff22262a), 1.2f, false),
                        out.getChildFile("button_normal.png"));
    ok = ok && writePng(buttonFace(Colour(0xff7d858c), Colour(0xff565d63), Colour(0xff2a2f33), 1.2f, false),
                        out.getChildFile("button_over.png"));
    ok = ok && writePng(buttonFace(Colour(0xffb4b9be), Colour(0xff92979c), Colour(0xff15181b), 2.2f, true),
                        out.getChildFile("button_down.png"));
    ok = ok && out.getChildFile("logo.svg").replaceWithText(logoSvg());
    // The program's icon: embedded for the window (64), installed for the desktop.
    ok = ok && out.getChildFile("icon.svg").replaceWithText(iconSvg());
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        ok = ok && writePng(iconImage(size), out.getChildFile("icon_" + juce::String(size) + ".png"));
    for (auto state : {"connecting", "disconnected", "fullspeed", "highspeed"})
        for (bool over : {false, true})
            ok = ok && out.getChildFile(juce::String("connect_") + state + (over ? "_over" : "") + ".svg")
                           .replaceWithText(connectionSvg(state, over));
    if (!ok)
    {
        std::cerr << "gen_pictures: cannot write to " << out.getFullPathName() << "\n";
        return 1;
    }
    return 0;
}
