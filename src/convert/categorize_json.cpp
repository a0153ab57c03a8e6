#include "convert/categorize_json.h"

#include "categorizer/engine.h"
#include "convert/json_reader.h"

namespace morvanta::convert {

std::optional<Expected<categorizer::CategorizeResponse, ReadError>> categorize_json_streamed(std::string_view utf8,
                                                                                            TextArena& arena) {
    using categorizer::Categorizer;
    using categorizer::CategorizeRequest;
    using categorizer::MapInput;

    CategorizeRequest head;  // the rules; `data` stays empty
    json::Diversion skipped{&head.data};
    if (read_json_diverted(utf8, arena, head, skipped)) return std::nullopt;
    if (Categorizer::too_many_rules(head.rules.size())) return std::nullopt;

    Categorizer categorizer(head.rules, skipped.count);
    CategorizeRequest again;
    json::Diversion matched{&again.data,
                            [](void* context, const void* element) {
                                static_cast<Categorizer*>(context)->add(static_cast<const MapInput*>(element)->narration);
                            },
                            &categorizer};
    if (auto error = read_json_diverted(utf8, arena, again, matched)) return Expected<categorizer::CategorizeResponse, ReadError>(Unexpected{std::move(*error)});
    return Expected<categorizer::CategorizeResponse, ReadError>(categorizer.finish());
}

}  // namespace morvanta::convert
