#include "Samples.hpp"

#include <utility>

namespace kestrova::platform::scripted {

namespace {

AttachmentDictionary status(AttachmentValue value) { return {{std::string(kFrameInfoStatus), std::move(value)}}; }

SampleBuffer sampleWith(std::optional<Attachments> attachments, bool valid = true) {
    SampleBuffer sample;
    sample.valid = valid;
    if (attachments) sample.attachments = std::make_shared<const Attachments>(std::move(*attachments));
    sample.imageBuffer = PixelBuffer::create(1, 1);
    return sample;
}

}  // namespace

SampleBuffer completeSample(PixelBufferRef image) {
    SampleBuffer sample;
    sample.attachments = std::make_shared<const Attachments>(AttachmentArray{status(std::int64_t{0})});
    sample.imageBuffer = std::move(image);
    return sample;
}

std::vector<NamedSample> malformedSamples() {
    const auto complete = [] { return Attachments(AttachmentArray{status(std::int64_t{0})}); };
    auto noImage = sampleWith(complete());
    noImage.imageBuffer = nullptr;
    return {
        {"audio_output", sampleWith(complete()), 1},
        {"invalid", sampleWith(complete(), false)},
        {"no_attachments", sampleWith(std::nullopt)},
        {"attachments_not_an_array", sampleWith(Attachments(AttachmentValue(std::int64_t{0})))},
        {"empty_array", sampleWith(Attachments(AttachmentArray{}))},
        {"later_element_not_a_dictionary",
         sampleWith(Attachments(AttachmentArray{status(std::int64_t{0}), AttachmentValue(std::string("x"))}))},
        {"first_dictionary_without_status",
         sampleWith(Attachments(AttachmentArray{AttachmentDictionary{}, status(std::int64_t{0})}))},
        {"status_idle", sampleWith(Attachments(AttachmentArray{status(std::int64_t{1})}))},
        {"status_blank", sampleWith(Attachments(AttachmentArray{status(std::int64_t{2})}))},
        {"status_as_double", sampleWith(Attachments(AttachmentArray{status(0.0)}))},
        {"status_as_text", sampleWith(Attachments(AttachmentArray{status(std::string("0"))}))},
        {"status_as_bool", sampleWith(Attachments(AttachmentArray{status(false)}))},
        {"status_empty", sampleWith(Attachments(AttachmentArray{status(std::monostate{})}))},
        {"no_image", std::move(noImage)},
    };
}

}  // namespace kestrova::platform::scripted
