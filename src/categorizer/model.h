// Categorizer records: rules, transactions, requests and responses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/record.h"

namespace morvanta::categorizer {

struct CategoryRule {
    std::string pattern;
    std::string category;
    std::string merchant;
};

struct MapInput {
    std::string narration;
};

struct MapOutput {
    std::string category;
    std::string merchant;
};

struct CategorizeRequest {
    std::vector<MapInput> data;
    std::vector<CategoryRule> rules;
};

struct CategorizeResponse {
    std::vector<std::optional<MapOutput>> data;
};

struct DeriveInput {
    std::string narration;
    std::string category;
    std::string merchant;
};

struct DeriveRulesRequest {
    std::vector<DeriveInput> data;
};

struct DeriveRulesResponse {
    std::vector<CategoryRule> rules;
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
