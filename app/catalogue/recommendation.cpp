#include "app/catalogue/recommendation.hpp"

#include <array>

namespace korvex {
namespace {

struct ReasonText {
    std::string_view key;
    std::string_view chinese;
    std::string_view english;
};

constexpr std::string_view kTrialChinese =
    "建议先从 U 盘试用，确认硬件兼容后再安装。此推荐不保证所有硬件功能可用。";
constexpr std::string_view kTrialEnglish =
    "Try booting from USB before installing. This suggestion does not guarantee that every "
    "hardware feature will work.";

constexpr std::array<ReasonText, 11> kTexts{{
    {"arm",
     "这台 ARM 电脑可以制作其他设备的启动 U 盘，但不能使用 Korvex Tower "
     "镜像启动。请为其他设备选择镜像。",
     "This ARM computer can prepare a USB for another device, but cannot boot Korvex Tower. "
     "Choose an image for your target device."},
    {"nvidia", "NVIDIA 独显不在此推荐范围内。可确认是否能仅使用集显，或手动查看镜像。",
     "NVIDIA graphics are not supported by this recommendation. Check whether you can use "
     "integrated graphics, or browse images manually."},
    {"discrete", "这个处理器没有集成显卡，请确认是否使用 AMD 独显。",
     "This processor has no integrated graphics. Confirm whether you use an AMD graphics card."},
    {"legacy", "此较旧处理器没有可自动推荐的当前版本。请查看兼容性说明或手选镜像。",
     "There is no current automatic recommendation for this older processor. Check "
     "compatibility or browse images."},
    {"intel-unknown",
     "按 Intel 集显推荐试用。请先从 U 盘启动，确认显示、网络和声音正常，再考虑安装。",
     "Suggested for an Intel integrated-graphics USB trial. Check graphics, network and sound "
     "before installing."},
    {"amd-unknown", "按 AMD 显卡推荐试用。请先从 U 盘启动检查兼容性。",
     "Suggested for an AMD graphics USB trial. Check compatibility before installing."},
    {"disable-nvidia", "仅适用于能停用 NVIDIA 并仅使用 Intel 集显的情况，请先试用。",
     "Only suitable if NVIDIA can be disabled and Intel integrated graphics used alone. Try USB "
     "boot first."},
    {"exact", "已匹配设备专用镜像。", "Matched a device-specific image."},
    {"intel-trial", kTrialChinese, kTrialEnglish},
    {"amd-trial", kTrialChinese, kTrialEnglish},
    {"catalogue", "镜像目录暂不可用。可以重试，或使用本地镜像。",
     "The catalogue is unavailable. Retry or choose a local image."},
}};

constexpr ReasonText kUnknown{
    "unknown", "暂时不能可靠推荐。可以修改信息、手动选择版本，或使用本地镜像。",
    "There is not enough information for a reliable suggestion. Edit the details, browse "
    "versions or use a local image."};

}  // namespace

std::string reasonText(std::string_view reason, bool chinese) {
    const ReasonText* found = &kUnknown;
    for (const auto& text : kTexts) {
        if (text.key == reason) found = &text;
    }
    return std::string(chinese ? found->chinese : found->english);
}

}  // namespace korvex
