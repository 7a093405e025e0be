// The card record as the tests read and make it: values by the names of their fields.
#pragma once

#include "belpic/lees.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace record {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The record's names and values, in its order.
inline Pairs pairs(const belpic::Gegevens& gegevens) {
    Pairs out;
    for (const belpic::Waarde& waarde : gegevens) {
        out.emplace_back(waarde.veld->naam, waarde.inhoud);
    }
    return out;
}

// The value of the field `name`; nothing when the record does not hold that field.
inline std::optional<std::string> value(const belpic::Gegevens& gegevens, const std::string& name) {
    for (const belpic::Waarde& waarde : gegevens) {
        if (name == waarde.veld->naam) {
            return waarde.inhoud;
        }
    }
    return std::nullopt;
}

// Bytes as a record holds a whole file.
inline std::string bytes(const std::vector<std::uint8_t>& data) {
    return std::string(data.begin(), data.end());
}

// A record of the fields `vraag` asks for, holding `values` in their order (missing ones empty).
inline belpic::Gegevens of(const belpic::Vraag& vraag, const std::vector<std::string>& values) {
    belpic::Gegevens gegevens;
    for (std::size_t i = 0; i < vraag.velden.size(); ++i) {
        gegevens.push_back({vraag.velden[i], i < values.size() ? values[i] : std::string()});
    }
    return gegevens;
}

} // namespace record
