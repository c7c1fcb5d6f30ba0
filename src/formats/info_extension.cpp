#include "formats/info_extension.hpp"

#include <memory>   // std::make_shared
#include <utility>  // std::move

namespace media::detail {

const InfoExtension* info_extension(const MediaInfo& info)
{
    return static_cast<const InfoExtension*>(info.extension.get());
}

void set_flac_cue_sheet(MediaInfo& info, std::string block)
{
    InfoExtension extension;
    if (const InfoExtension* held = info_extension(info)) {
        extension = *held;
    }
    extension.flac_cue_sheet = std::move(block);
    info.extension = std::make_shared<const InfoExtension>(std::move(extension));
}

}  // namespace media::detail
