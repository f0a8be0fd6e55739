#include "capture/stream_output.h"

#include "capture/failure.h"
#include "channels/messages.h"
#include "channels/output.h"

namespace lumatap {

void addOutput(Stream& stream, std::shared_ptr<StreamOutput> output, OutputType type,
               std::string label) {
    ErrorPtr error;
    if (!stream.addStreamOutput(std::move(output), type,
                                std::make_shared<SerialQueue>(std::move(label)), error)) {
        failWith(error ? error : makeError("lumatap", 1, std::string(outputRefusedDescription)));
    }
}

} // namespace lumatap
