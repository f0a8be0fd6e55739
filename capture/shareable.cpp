#include "capture/shareable.h"

#include "capture/completion.h"

namespace lumatap {

std::shared_ptr<const ShareableContent> shareable(bool onScreenOnly) {
    return awaitValue<ShareableContent>([onScreenOnly](platform::ContentCompletion completion) {
        platform::getShareableContent(true, onScreenOnly, std::move(completion));
    });
}

} // namespace lumatap
