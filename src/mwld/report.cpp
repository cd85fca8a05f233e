// Formatting outcome lines and data sets.
#include "mwld/report.h"

#include "mwld/values.h"

std::string column_text(std::string_view text) {
  if (text.empty()) return "-";
  std::string clean(text);
  for (char& c : clean) {
    if (is_control(c)) c = ' ';
  }
  return clean;
}

std::string outcome_text(const MessagePlace& place, std::string_view word,
                         std::string_view entry_name, std::string_view reason) {
  std::string line = column_text(place.file) + '\t' + std::to_string(place.number) + '\t' +
                     column_text(place.control_id) + '\t' + std::string(word) + '\t' +
                     column_text(entry_name);
  if (!reason.empty()) line += '\t' + column_text(reason);
  return line + '\n';
}

std::string data_set_text(const DataSet& data_set, std::size_t indent) {
  std::string text;
  for (const Element& element : data_set) {
    text += std::string(indent, ' ') + tag_text(element.tag) + ' ' + std::string(element.vr) + ' ' +
            std::string(element.keyword);
    if (element.vr != "SQ") text += ' ' + element.value;
    text += '\n';
    for (const DataSet& item : element.items) text += data_set_text(item, indent + 2);
  }
  return text;
}

std::string joined(const std::vector<std::string>& texts) {
  constexpr std::size_t kShown = 10;
  std::string text;
  for (std::size_t i = 0; i < texts.size() && i < kShown; ++i) {
    text += (text.empty() ? "" : "; ") + texts[i];
  }
  if (texts.size() > kShown) text += "; and " + std::to_string(texts.size() - kShown) + " more";
  return text;
}

std::string plan_text(const MessagePlace& place, const MessagePlan& plan) {
  if (plan.rejection) return outcome_text(place, "rejected", "", plan.rejection->text);
  std::string text;
  std::vector<std::string> reasons;
  for (const OrderStep& step : plan.steps) {
    for (const EntryFile& file : step.entries) {
      text += outcome_text(place, "write", file.name, joined(file.entry.notes));
      text += data_set_text(file.entry.data_set, 2);
    }
    if (step.action == OrderAction::cancel) {
      text += outcome_text(place, "remove", "", "the entries of order " + order_label(step));
    }
    if (step.action == OrderAction::none) reasons.push_back(step.reason);
  }
  return text.empty() ? outcome_text(place, "ignored", "", joined(reasons)) : text;
}
