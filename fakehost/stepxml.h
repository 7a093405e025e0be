// The host's reading of a script step's definition: a <PluginStep> element holding up to ten
// <Parameter> elements.
#pragma once

#include <string>
#include <vector>

namespace fakehost {

struct StepParameter {
    int id = -1;      // the index into the step's parameters; -1 for the Target
    std::string type; // Calc, Bool, List, Target, or what the definition says
    std::string label;
    std::string defaultValue; // the Default attribute, as written
};

// The parameters of a well-formed definition, in document order; the reason it is refused
// otherwise: not well formed, another root, more than ten parameters, an ID missing, out of
// 0 to 9 or repeated, more than one Target.
struct StepDefinition {
    std::vector<StepParameter> parameters;
    std::string refusal; // empty when accepted
};

StepDefinition readStepDefinition(const std::string& xml);

} // namespace fakehost
