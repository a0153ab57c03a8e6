// Categorizer records: rules, transactions, requests and responses.
#pragma once

#include <string_view>
#include <vector>

#include "convert/record.h"
#include "util/arena.h"

namespace morvanta::categorizer {

// Texts are views (see convert/record.h): a request views the caller's
// input, a response views the request's texts and its own storage.
struct CategoryRule {
    std::string_view pattern;
    std::string_view category;
    std::string_view merchant;
};

struct MapInput {
    std::string_view narration;
};

struct MapOutput {
    std::string_view category;
    std::string_view merchant;
};

struct CategorizeRequest {
    std::vector<MapInput> data;
    std::vector<CategoryRule> rules;
};

// One row per transaction: the index of the rule that matched, or none;
// table entry i is rule i's category and merchant.
struct CategorizeResponse {
    convert::Rows<MapOutput> data;
};

struct DeriveInput {
    std::string_view narration;
    std::string_view category;
    std::string_view merchant;
};

struct DeriveRulesRequest {
    std::vector<DeriveInput> data;
};

// Each rule views its label pair in the request and its pattern in `tokens`.
struct DeriveRulesResponse {
    std::vector<CategoryRule> rules;
    TextArena tokens;
};

}  // namespace morvanta::categorizer

namespace morvanta::convert {

template <>
struct Fields<categorizer::CategoryRule> {
    using R = categorizer::CategoryRule;
    static constexpr std::string_view name = "CategoryRule";
    static constexpr auto list = std::tuple{
        field("pattern", &R::pattern),
        field("category", &R::category),
        field("merchant", &R::merchant),
    };
};

template <>
struct Fields<categorizer::MapInput> {
    using R = categorizer::MapInput;
    static constexpr std::string_view name = "MapInput";
    static constexpr auto list = std::tuple{field("narration", &R::narration)};
};

template <>
struct Fields<categorizer::MapOutput> {
    using R = categorizer::MapOutput;
    static constexpr std::string_view name = "MapOutput";
    static constexpr auto list = std::tuple{
        field("category", &R::category),
        field("merchant", &R::merchant),
    };
};

template <>
struct Fields<categorizer::CategorizeRequest> {
    using R = categorizer::CategorizeRequest;
    static constexpr std::string_view name = "CategorizeRequest";
    static constexpr auto list = std::tuple{
        field("data", &R::data),
        field("rules", &R::rules),
    };
};

template <>
struct Fields<categorizer::CategorizeResponse> {
    using R = categorizer::CategorizeResponse;
    static constexpr std::string_view name = "CategorizeResponse";
    static constexpr auto list = std::tuple{field("data", &R::data)};
};

template <>
struct Fields<categorizer::DeriveInput> {
    using R = categorizer::DeriveInput;
    static constexpr std::string_view name = "DeriveInput";
    static constexpr auto list = std::tuple{
        field("narration", &R::narration),
        field("category", &R::category),
        field("merchant", &R::merchant),
    };
};

template <>
struct Fields<categorizer::DeriveRulesRequest> {
    using R = categorizer::DeriveRulesRequest;
    static constexpr std::string_view name = "DeriveRulesRequest";
    static constexpr auto list = std::tuple{field("data", &R::data)};
};

template <>
struct Fields<categorizer::DeriveRulesResponse> {
    using R = categorizer::DeriveRulesResponse;
    static constexpr std::string_view name = "DeriveRulesResponse";
    static constexpr auto list = std::tuple{field("rules", &R::rules)};
};

}  // namespace morvanta::convert
