#include "ui/Pictures.h"
#include "PictureData.h"

namespace pictures
{
namespace
{
juce::Image png(const char* data, int size)
{
    return juce::ImageCache::getFromMemory(data, size);
}

std::unique_ptr<juce::Drawable> svg(const char* data, int size)
{
    return juce::Drawable::createFromImageData(data, (size_t)size);
}
} // namespace

juce::Image background()
{
    return png(PictureData::background_png, PictureData::background_pngSize);
}
juce::Image buttonNormal()
{
    return png(PictureData::button_normal_png, PictureData::button_normal_pngSize);
}
juce::Image buttonOver()
{
    return png(PictureData::button_over_png, PictureData::button_over_pngSize);
}
juce::Image buttonDown()
{
    return png(PictureData::button_down_png, PictureData::button_down_pngSize);
}
std::unique_ptr<juce::Drawable> logo()
{
    return svg(PictureData::logo_svg, PictureData::logo_svgSize);
}
juce::Image icon()
{
    return png(PictureData::icon_64_png, PictureData::icon_64_pngSize);
}

std::unique_ptr<juce::Drawable> connection(Connection state, bool over)
{
    using namespace PictureData;
    switch (state)
    {
    case Connection::connecting:
        return over ? svg(connect_connecting_over_svg, connect_connecting_over_svgSize)
                    : svg(connect_connecting_svg, connect_connecting_svgSize);
    case Connection::disconnected:
        return over ? svg(connect_disconnected_over_svg, connect_disconnected_over_svgSize)
                    : svg(connect_disconnected_svg, connect_disconnected_svgSize);
    case Connection::fullSpeed:
        return over ? svg(connect_fullspeed_over_svg, connect_fullspeed_over_svgSize)
                    : svg(connect_fullspeed_svg, connect_fullspeed_svgSize);
    case Connection::highSpeed:
    default:
        return over ? svg(connect_highspeed_over_svg, connect_highspeed_over_svgSize)
                    : svg(connect_highspeed_svg, connect_highspeed_svgSize);
    }
}
} // namespace pictures
