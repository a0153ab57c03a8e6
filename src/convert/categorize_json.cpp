#include "convert/categorize_json.h"

#include "categorizer/engine.h"

namespace morvanta::convert {

using categorizer::CategorizeRequest;
using categorizer::CategorizeResponse;

std::optional<Expected<CategorizeResponse, ReadError>> TwoPassRead<CategorizeRequest>::run(const json::Input& input,
                                                                                           TextArena& arena) {
    using categorizer::Categorizer;
    using categorizer::MapInput;
    using Outcome = Expected<CategorizeResponse, ReadError>;

    CategorizeRequest head;  // the rules; `data` stays empty
    json::Diversion skipped{&head.data};
    if (read_json_diverted(input, arena, head, skipped)) return std::nullopt;
    if (Categorizer::too_many_rules(head.rules.size())) return std::nullopt;

    Categorizer categorizer(head.rules, skipped.count);
    CategorizeRequest again;
    json::Diversion matched{&again.data,
                            [](void* context, const void* element) {
                                return static_cast<Categorizer*>(context)->add(
                                    static_cast<const MapInput*>(element)->narration);
                            },
                            &categorizer};
    if (auto error = read_json_diverted(input, arena, again, matched)) {
        // A fed read fails where a token is longer than its window, too: the
        // whole read tells.
        if (input.source) return std::nullopt;
        return Outcome(Unexpected{std::move(*error)});
    }
    return Outcome(categorizer.finish());
}

}  // namespace morvanta::convert
