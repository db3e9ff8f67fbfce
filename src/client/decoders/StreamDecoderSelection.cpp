// StreamDecoder::select: the choice of a decoder kind for a stream, in three
// passes of falling preference, with a process-wide memory of the last
// choice.
#include "StreamDecoder.h"

#include "ColorFormat.h"
#include "DecoderLog.h"
#include "OwnerLock.h"

namespace {

// The last successful choice, keyed on the specification alone. Decoder
// threads of several screens select at the same time: every read and write
// of the four values happens under the lock, so a reader never sees the
// name of one choice with the format of another.
struct SelectionCache {
    OwnerLock lock;
    bool selectionValid = false;
    qor::VideoEncodingSpec selectedSpec;
    std::string selectedDecoderName;
    int selectedOutputColorFormat = 0;
};

SelectionCache& selectionCache() {
    static SelectionCache cache;
    return cache;
}

// One pass over the registry; the best row so far is kept in best.
void searchPass(const qor::StreamDecoder::FormatTest& canvasSupports, const qor::VideoEncodingSpec& spec,
                bool native, const StreamDecoderRegistration*& best) {
    for (const StreamDecoderRegistration& row : decoderRegistry) {
        if (row.native != native || row.spec != spec || !canvasSupports(row.outputColorFormat)) continue;
        decoderDebug("Decoder candidate " + qor::StreamDecoder::describeEntry(row));
        if (best == nullptr || row.priority > best->priority) {
            best = &row;
            decoderDebug("Decoder pre-selected " + qor::StreamDecoder::describeEntry(row));
        }
    }
}

} // namespace

namespace qor {

void StreamDecoder::clearSelectionCache() {
    SelectionCache& cache = selectionCache();
    ScopedOwnerLock guard(cache.lock);
    cache.selectionValid = false;
}

std::unique_ptr<StreamDecoder> StreamDecoder::select(const FormatTest& canvasSupports, const VideoEncodingSpec& spec,
                                                     int width, int height) {
    SelectionCache& cache = selectionCache();
    bool cached = false;
    std::string cachedName;
    int cachedFormat = 0;
    {
        ScopedOwnerLock guard(cache.lock);
        if (cache.selectionValid && cache.selectedSpec == spec) {
            cached = true;
            cachedName = cache.selectedDecoderName;
            cachedFormat = cache.selectedOutputColorFormat;
        }
    }
    if (cached) {
        decoderDebug("StreamDecoder: Using pre-selected encoder '" + cachedName + "', '" +
                     colorFormatName(cachedFormat) + "'");
        return create(cachedName, width, height, cachedFormat, spec);
    }

    decoderDebug("StreamDecoder: Searching for optimal decoder, " + std::to_string(decoderRegistry.size()) +
                 " registered");
    for (const StreamDecoderRegistration& row : decoderRegistry) {
        decoderDebug("Decoder registered " + describeEntry(row));
    }
    decoderDebug("StreamDecoder: Checking encoder native color: " + formatVideoEncodingSpec(spec));
    const StreamDecoderRegistration* best = nullptr;
    searchPass(canvasSupports, spec, true, best);
    if (best == nullptr) {
        decoderDebug("StreamDecoder: Checking encoder internal software color conversion");
        searchPass(canvasSupports, spec, false, best);
        decoderDebug("StreamDecoder: Checking external software color conversion");
        for (const StreamDecoderRegistration& row : decoderRegistry) {
            if (!row.converts || row.spec != spec) continue;
            if (best == nullptr || row.priority > best->priority) {
                best = &row;
                decoderDebug("Decoder pre-selected " + describeEntry(row));
            }
        }
    }
    if (best == nullptr) return nullptr;

    const std::string name = best->name;
    const int format = best->outputColorFormat;
    {
        ScopedOwnerLock guard(cache.lock);
        cache.selectionValid = true;
        cache.selectedSpec = spec;
        cache.selectedDecoderName = name;
        cache.selectedOutputColorFormat = format;
    }
    return create(name, width, height, format, spec);
}

} // namespace qor
