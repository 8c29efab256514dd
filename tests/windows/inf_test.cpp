// kl7046.inf against the driver: the card under both of its buses, the
// service that loads kl7046.sys, and under Ndi\params exactly the keywords
// the driver reads, each in the base NDIS parses it in for the driver, with
// the driver's own default and range.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "driver_keywords.h"
#include "inf_file.h"

namespace kl::test {
namespace {

const InfFile& inf() {
  static const InfFile file = InfFile::load(KL_WINDOWS_DIR "/kl7046.inf");
  return file;
}

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// One Ndi\params entry as an install section leaves it in the registry.
struct Param {
  std::map<std::string, std::string> properties;  // lower-case property name to value
  std::map<std::string, std::string> choices;     // enum value to its text
  std::optional<std::string> written;             // the keyword value itself, if set
};

std::map<std::string, Param> paramsOf(const std::string& installSection) {
  std::map<std::string, Param> params;
  const std::string prefix = "ndi\\params\\";
  for (const InfRegistryValue& w : inf().registryWrites(installSection)) {
    const std::string key = lower(w.subkey);
    if (key.empty()) {
      params[w.name].written = w.data;
      continue;
    }
    if (key.rfind(prefix, 0) != 0) {
      continue;
    }
    std::string name = w.subkey.substr(prefix.size());
    const auto slash = name.find('\\');
    if (slash != std::string::npos && lower(name.substr(slash + 1)) == "enum") {
      params[name.substr(0, slash)].choices[w.name] = w.data;
    } else {
      params[name].properties[lower(w.name)] = w.data;
    }
  }
  return params;
}

// What NDIS makes of a registry string when the driver asks for this type.
LONG parsed(const std::string& text, NDIS_PARAMETER_TYPE type) {
  std::size_t used = 0;
  const unsigned long value = std::stoul(text, &used, type == NdisParameterHexInteger ? 16 : 10);
  EXPECT_EQ(used, text.size()) << "\"" << text << "\" is not a whole number";
  return static_cast<LONG>(value);
}

struct Installation {
  const char* section;
  const char* hardwareIdPrefix;
  NDIS_INTERFACE_TYPE bus;
  LONG cardType;
};

void PrintTo(const Installation& i, std::ostream* os) { *os << i.section; }

class InfInstallation : public ::testing::TestWithParam<Installation> {};

TEST(Inf, IsANetworkClassInstallation) {
  EXPECT_EQ(inf().directive("Version", "Signature"), std::vector<std::string>{"$Windows NT$"});
  EXPECT_EQ(inf().directive("Version", "Class"), std::vector<std::string>{"Net"});
  EXPECT_EQ(lower(inf().directive("Version", "ClassGUID").value().front()),
            "{4d36e972-e325-11ce-bfc1-08002be10318}");
}

TEST(Inf, NamesTheCardAsItDescribesItself) {
  const auto manufacturer = inf().directive("Manufacturer", inf().section("Manufacturer")[0].key);
  ASSERT_TRUE(manufacturer.has_value());
  const auto& models = inf().section(manufacturer->front());
  ASSERT_EQ(models.size(), 2u);
  for (const InfLine& model : models) {
    EXPECT_EQ(model.key, "VELMORAN KL7046 PC Card.");
  }
}

TEST_P(InfInstallation, InstallsTheDriverServiceForItsBus) {
  const Installation& p = GetParam();
  const auto manufacturer = inf().directive("Manufacturer", inf().section("Manufacturer")[0].key);
  ASSERT_TRUE(manufacturer.has_value());
  bool listed = false;
  for (const InfLine& model : inf().section(manufacturer->front())) {
    if (lower(model.values.at(0)) == lower(p.section)) {
      listed = true;
      EXPECT_EQ(model.values.at(1).rfind(p.hardwareIdPrefix, 0), 0u) << model.values.at(1);
    }
  }
  EXPECT_TRUE(listed);

  EXPECT_EQ(inf().directive(p.section, "BusType"), std::vector<std::string>{std::to_string(p.bus)});
  const auto files = inf().directive(p.section, "CopyFiles");
  ASSERT_TRUE(files.has_value());
  EXPECT_EQ(inf().section(files->front()).at(0).values.at(0), "kl7046.sys");

  // The service is associated with the device (flag 2) and loads the image.
  const auto service = inf().directive(std::string(p.section) + ".Services", "AddService");
  ASSERT_TRUE(service.has_value());
  EXPECT_EQ(service->at(0), "kl7046");
  EXPECT_EQ(service->at(1), "2");
  const std::string serviceSection = service->at(2);
  EXPECT_EQ(inf().directive(serviceSection, "ServiceType"), std::vector<std::string>{"1"});
  EXPECT_EQ(inf().directive(serviceSection, "ServiceBinary"),
            std::vector<std::string>{"%12%\\kl7046.sys"});

  bool ndiService = false;
  for (const InfRegistryValue& w : inf().registryWrites(p.section)) {
    if (lower(w.subkey) == "ndi" && lower(w.name) == "service") {
      ndiService = true;
      EXPECT_EQ(w.data, "kl7046");
    }
  }
  EXPECT_TRUE(ndiService);
}

TEST_P(InfInstallation, OffersExactlyTheKeywordsTheDriverReads) {
  std::set<std::string> offered;
  for (const auto& [name, param] : paramsOf(GetParam().section)) {
    if (!param.properties.empty()) {
      offered.insert(name);
    }
  }
  std::set<std::string> read = {"NetworkAddress"};  // the NDIS address override
  for (const DriverKeyword& k : driverKeywords()) {
    read.insert(keywordName(*k.keyword));
  }
  EXPECT_EQ(offered, read);
}

TEST_P(InfInstallation, GivesEachKeywordTheDriversTypeDefaultAndRange) {
  const Installation& p = GetParam();
  const auto params = paramsOf(p.section);
  for (const DriverKeyword& k : driverKeywords()) {
    const std::string name = keywordName(*k.keyword);
    SCOPED_TRACE(name);
    const auto found = params.find(name);
    ASSERT_NE(found, params.end());
    const Param& param = found->second;
    const auto property = [&](const std::string& key) -> std::optional<std::string> {
      const auto it = param.properties.find(key);
      return it == param.properties.end() ? std::nullopt : std::optional(it->second);
    };

    EXPECT_TRUE(property("paramdesc").has_value());
    const std::string type = property("type").value_or("");
    const bool hex = k.type == NdisParameterHexInteger;
    if (type == "enum") {
      EXPECT_FALSE(param.choices.empty());
    } else {
      EXPECT_TRUE(type == "int" || type == "long" || type == "word" || type == "dword") << type;
      EXPECT_EQ(property("base").value_or("10"), hex ? "16" : "10");
    }

    // The bus and the card type of the installation are its own default;
    // every other keyword defaults as the driver does when it is absent.
    const LONG expected = name == "BusType"    ? static_cast<LONG>(p.bus)
                          : name == "CardType" ? p.cardType
                                               : k.defaultValue;
    ASSERT_TRUE(property("default").has_value());
    EXPECT_EQ(parsed(*property("default"), k.type), expected);
    if (param.written) {
      EXPECT_EQ(parsed(*param.written, k.type), expected);
    }

    if (k.minimum) {
      ASSERT_TRUE(property("min").has_value());
      EXPECT_EQ(parsed(*property("min"), k.type), *k.minimum);
    }
    if (k.maximum) {
      ASSERT_TRUE(property("max").has_value());
      EXPECT_EQ(parsed(*property("max"), k.type), *k.maximum);
    }
    if (!param.choices.empty()) {
      EXPECT_TRUE(param.choices.contains(*property("default")));
    }
    for (const auto& [value, text] : param.choices) {
      const LONG v = parsed(value, k.type);
      EXPECT_TRUE(!k.minimum || v >= *k.minimum) << value;
      EXPECT_TRUE(!k.maximum || v <= *k.maximum) << value;
      EXPECT_FALSE(text.empty()) << value;
    }
  }
}

// The media the PHY setup selects for each ConnectionType value.
TEST_P(InfInstallation, NamesTheMediaOfEachConnectionType) {
  const std::map<std::string, std::string> media = {
      {"0", "Automatic"},
      {"1", "10 Mbit/s half duplex"},
      {"2", "10 Mbit/s full duplex"},
      {"3", "100 Mbit/s half duplex"},
      {"4", "100 Mbit/s full duplex"},
      {"5", "As the PHY is set"},
  };
  EXPECT_EQ(paramsOf(GetParam().section)["ConnectionType"].choices, media);
}

TEST_P(InfInstallation, TakesTheNetworkAddressAsTwelveHexDigits) {
  const Param param = paramsOf(GetParam().section)["NetworkAddress"];
  EXPECT_EQ(param.properties.at("type"), "edit");
  EXPECT_EQ(param.properties.at("limittext"), "12");
  EXPECT_EQ(param.properties.at("optional"), "1");
  EXPECT_EQ(param.properties.at("default"), "");
}

INSTANTIATE_TEST_SUITE_P(Buses, InfInstallation,
                         ::testing::Values(Installation{"KL7046.PcCard", "PCMCIA\\",
                                                        NdisInterfacePcMcia, 1},
                                           Installation{"KL7046.Isa", "*", NdisInterfaceIsa, 0}),
                         [](const auto& param) {
                           std::string name = param.param.section;
                           std::erase(name, '.');
                           return name;
                         });

}  // namespace
}  // namespace kl::test
