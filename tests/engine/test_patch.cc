// Field splitter, patch loader and report: what the file becomes, and the
// exact text printed on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "patch/field_splitter.h"
#include "patch/patch.h"
#include "../test_support.h"

namespace {

using Field = std::optional<std::string>;
const Field none = std::nullopt;

TEST(FieldSplitter, Table) {
  struct Row {
    const char* text;
    char separator;
    int count;
    Field f0, f1, f2;
  };
  const Row rows[] = {
      {"abc", ';', 0, "abc", none, none},
      {"a;b;", ';', 2, "a", "b", none},
      {";a", ';', 1, none, "a", none},
      {"a;;b", ';', 2, "a", none, "b"},
      {"", ';', 0, none, none, none},
      {"*FREQ=440", '=', 1, "*FREQ", "440", none},
      {"x=1=2", '=', 2, "x", "1", "2"},
      {"LFO1:MOD_FREQ", ':', 1, "LFO1", "MOD_FREQ", none},
      {"LFO1", ':', 0, "LFO1", none, none},
  };
  for (const Row& row : rows) {
    FieldSplitter splitter(row.text, row.separator);
    EXPECT_EQ(splitter.count(), row.count) << row.text;
    EXPECT_EQ(splitter.field(0), row.f0) << row.text;
    EXPECT_EQ(splitter.field(1), row.f1) << row.text;
    EXPECT_EQ(splitter.field(2), row.f2) << row.text;
    EXPECT_EQ(splitter.field(-1), none) << row.text;
  }
  FieldSplitter resplit("a=b:c", '=');
  resplit.set_separator(':');
  EXPECT_EQ(resplit.field(1), Field("c"));
}

const char kExample[] = "LFO1;*FREQ=5;\nVCO1;*NOTE=12;LFO1:MOD_FREQ;\nVCA1;\nMIXER1;VCO1:IN1;LFO1:IN2;\n";

TEST(Loader, ExampleTraceAndGraph) {
  LoadedPatch p(kExample);
  ASSERT_TRUE(p.loaded);
  EXPECT_EQ(p.trace.text(),
            "OBJET [LFO1]\nVCO\nparamSET : [*FREQ=5]\n"
            "OBJET [VCO1]\nVCO\nparamSET : [*NOTE=12]\nliens_vco_vco.fils_out.insert()\n"
            "paramLNK : [LFO1][MOD_FREQ]\n"
            "OBJET [VCA1]\nVCA\n"
            "OBJET [MIXER1]\nMIXER\nparamLNK : [VCO1][IN1]\nparamLNK : [LFO1][IN2]\n");
  EXPECT_EQ(p.warnings.text(), "");
  const Patch& patch = *p.patch;
  ASSERT_EQ(patch.vcos.size(), 2u);
  EXPECT_STREQ(patch.vcos[0]->name, "VCO1");
  EXPECT_STREQ(patch.vcos[1]->name, "LFO1");
  EXPECT_EQ(patch.vcos[1]->base_frequency, 5.0f);
  EXPECT_EQ(patch.vcos[0]->base_frequency, 440.0f);
  ASSERT_EQ(patch.vcas.size(), 1u);
  EXPECT_STREQ(patch.vcas[0]->name, "VCA1");
  ASSERT_EQ(patch.mixers.size(), 1u);
  EXPECT_EQ(patch.mixers[0]->input_count, 2);

  ASSERT_EQ(patch.vco_links.size(), 1u);
  const VcoLinkGroup& vg = patch.vco_links[0];
  EXPECT_EQ(vg.target, patch.vcos[0]);
  EXPECT_EQ(vg.note, 12);
  ASSERT_EQ(vg.sources.size(), 1u);
  EXPECT_EQ(vg.sources[0], patch.vcos[1]);
  EXPECT_EQ(vg.params[0], "MOD_FREQ");
  EXPECT_EQ(vg.modulations[0], kModFreq);

  ASSERT_EQ(patch.mixer_links.size(), 1u);
  const MixerLinkGroup& mg = patch.mixer_links[0];
  EXPECT_EQ(mg.target, patch.mixers[0]);
  ASSERT_EQ(mg.sources.size(), 2u);
  EXPECT_EQ(mg.sources[0], patch.vcos[1]);  // newest link first
  EXPECT_EQ(mg.sources[1], patch.vcos[0]);
  EXPECT_EQ(mg.input_names[0], "IN2");
  EXPECT_EQ(mg.input_names[1], "IN1");
  EXPECT_EQ(mg.input_slots[0], 1);
  EXPECT_EQ(mg.input_slots[1], 0);
}

std::string address(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

TEST(Report, ExampleReport) {
  LoadedPatch p(kExample);
  Capture out;
  p.patch->console = out.file();
  p.patch->report();
  const Patch& patch = *p.patch;
  const std::string vco1 = address(patch.vcos[0]), lfo1 = address(patch.vcos[1]),
                    mixer1 = address(patch.mixers[0]);
  EXPECT_EQ(out.text(),
            "\r\n\r\n*****************[ OBJECTS ]****************************************************\r\n"
            "VCO SIZE [2]\n"
            "\r\nVCO\r\n-------------------------------------------------------------\r\n"
            "\r\nVCO_VCO_LNK\r\n-------------------------------------------------------------\r\n"
            "VCO [VCO1:" + vco1 + "]\n"
            " |---      MOD_FREQ <-- VCO [LFO1:" + lfo1 + "]\n"
            "*****************[ LINKS ]******************************************************\r\n"
            "\r\nVCO_MIXER_LNK\r\n-------------------------------------------------------------\r\n"
            "MIXER [MIXER1:" + mixer1 + "]\n"
            " |---           IN2 <-- VCO [LFO1:" + lfo1 + "]\n"
            " |---           IN1 <-- VCO [VCO1:" + vco1 + "]\n");
}

TEST(Report, EmptyPatchAndLongNames) {
  LoadedPatch empty("");
  ASSERT_TRUE(empty.loaded);
  EXPECT_EQ(empty.trace.text(), "");
  EXPECT_NE(empty.warnings.text().find("no MIXER entry has a link"), std::string::npos);
  Capture out;
  empty.patch->console = out.file();
  empty.patch->report();
  EXPECT_EQ(out.text(),
            "\r\n\r\n*****************[ OBJECTS ]****************************************************\r\n"
            "VCO SIZE [0]\n"
            "\r\nVCO\r\n-------------------------------------------------------------\r\n"
            "\r\nVCO_VCO_LNK\r\n-------------------------------------------------------------\r\n"
            "*****************[ LINKS ]******************************************************\r\n"
            "\r\nVCO_MIXER_LNK\r\n-------------------------------------------------------------\r\n");

  LoadedPatch wide("VCO1;\nVCO2;VCO1:MOD_PHASE_AND_MORE_TEXT;\n");
  Capture wide_out;
  wide.patch->console = wide_out.file();
  wide.patch->report();
  EXPECT_NE(wide_out.text().find(" |---MOD_PHASE_AND_MORE_TEXT <-- VCO [VCO1:"), std::string::npos);
  EXPECT_NE(wide_out.text().find("VCO SIZE [2]\n"), std::string::npos);
}

TEST(Loader, ShortEntriesAndKinds) {
  LoadedPatch p("VCA1 VCO1;*FREQ=440 LFO_MIXER;*FREQ=3; vco1;X:Y; VCA2; MIXER1; VCA1;*X=5;LFO1:MOD_AMP;\n");
  EXPECT_EQ(p.trace.text(),
            "Ligne 1 semble avoir moins de 2 parametres\n"
            "OBJET [VCO1]\nVCO\n"              // no trailing ';': the FREQ field is never read
            "OBJET [LFO_MIXER]\nVCO\nparamSET : [*FREQ=3]\n"
            "OBJET [vco1]\n"                   // lower case: no kind
            "OBJET [VCA2]\nVCA\n"
            "OBJET [MIXER1]\nMIXER\n"
            "OBJET [VCA1]\nVCA\n");            // envelope fields are not looked at
  const Patch& patch = *p.patch;
  ASSERT_EQ(patch.vcos.size(), 2u);
  EXPECT_EQ(patch.vcos[1]->base_frequency, 440.0f);
  EXPECT_EQ(patch.vcos[0]->base_frequency, 3.0f);
  EXPECT_EQ(patch.vcas.size(), 2u);
  EXPECT_EQ(patch.mixers[0]->input_count, 0);
  EXPECT_TRUE(patch.vco_links.empty());
  EXPECT_TRUE(patch.mixer_links.empty());
}

TEST(Loader, ParametersAndNotes) {
  LoadedPatch p(
      "VCO1;*FREQ=440.7;\n"
      "VCO2;*FREQ=abc;\n"
      "VCO3;LFO1:MOD_AMP;*NOTE=7;\n"       // NOTE after the last link: group note 0
      "VCO4;*NOTE=-1;VCO1:MOD_AMP;\n"      // -1 means no note: 0
      "VCO5;*NOTE=3;VCO1:MOD_AMP;*NOTE=9;VCO2:MOD_FREQ;\n"
      "VCO6;*FREQNOTE=-5;VCO6:MOD_PHASE;\n");
  const Patch& patch = *p.patch;
  EXPECT_EQ(patch.find_vco("VCO1")->base_frequency, 440.0f);
  EXPECT_EQ(patch.find_vco("VCO2")->base_frequency, 0.0f);
  ASSERT_EQ(patch.vco_links.size(), 4u);
  EXPECT_EQ(patch.vco_links[3].note, 0);
  EXPECT_EQ(patch.vco_links[2].note, 0);
  EXPECT_EQ(patch.vco_links[1].note, 9);
  EXPECT_EQ(patch.vco_links[0].note, -5);
  EXPECT_EQ(patch.find_vco("VCO6")->base_frequency, -5.0f);
  EXPECT_EQ(patch.vco_links[0].sources[0], patch.find_vco("VCO6"));  // a self link finds itself
}

// Numbers are read in decimal only: a leading 0 is not octal, 0x is not hex.
TEST(Loader, NumbersAreDecimal) {
  LoadedPatch p(
      "VCO1;*FREQ=010;\n"
      "VCO2;*FREQ=0x10;\n"
      "VCO3;*FREQ=+25;*NOTE=012;VCO1:MOD_AMP;\n"
      "MIXER1;VCO1:IN010;VCO1:IN0x3;VCO1:IN+2;\n");
  const Patch& patch = *p.patch;
  EXPECT_EQ(patch.find_vco("VCO1")->base_frequency, 10.0f);
  EXPECT_EQ(patch.find_vco("VCO2")->base_frequency, 0.0f);
  EXPECT_EQ(patch.find_vco("VCO3")->base_frequency, 25.0f);
  ASSERT_EQ(patch.vco_links.size(), 1u);
  EXPECT_EQ(patch.vco_links[0].note, 12);
  // Inputs 2, none (0x3 reads as 0), 10; newest link first.
  EXPECT_EQ(patch.mixer_links[0].input_slots, (std::vector<int>{1, -1, 9}));
}

// The kind is decided by the first of VCO, LFO, VCA, MIXER that the name holds,
// tested in that order, wherever it stands in the name.
TEST(Loader, KindsAreTestedInOrder) {
  LoadedPatch p("VCA_VCO1;*FREQ=3;\nLFO_VCA;*FREQ=4;\nMIXER_VCA;VCA_VCO1:IN1;\nVCA_MIXER;\n");
  EXPECT_EQ(p.trace.text(),
            "OBJET [VCA_VCO1]\nVCO\nparamSET : [*FREQ=3]\n"
            "OBJET [LFO_VCA]\nVCO\nparamSET : [*FREQ=4]\n"
            "OBJET [MIXER_VCA]\nVCA\n"
            "OBJET [VCA_MIXER]\nVCA\n");
  const Patch& patch = *p.patch;
  EXPECT_EQ(patch.vcos.size(), 2u);
  EXPECT_EQ(patch.vcas.size(), 2u);
  EXPECT_TRUE(patch.mixers.empty());
  EXPECT_TRUE(patch.mixer_links.empty());
}

TEST(Loader, NamesAndLookups) {
  LoadedPatch p("VCO1;*FREQ=100;\nVCO2;VCO1:MOD_AMP;\nVCO1;*FREQ=200;\nVCO3;VCO1:MOD_AMP;\n");
  const Patch& patch = *p.patch;
  EXPECT_EQ(patch.find_vco("VCO1")->base_frequency, 200.0f);  // the later namesake
  EXPECT_EQ(patch.vco_links[1].sources[0]->base_frequency, 100.0f);
  EXPECT_EQ(patch.vco_links[0].sources[0]->base_frequency, 200.0f);
  EXPECT_EQ(patch.find_vco("vco1"), nullptr);
  EXPECT_EQ(Patch().find_vco("VCO1"), nullptr);

  LoadedPatch order("VCOA;VCOA:MOD_AMP;\nVCOB;VCOA:MOD_AMP;\nMIXERM;VCOA:IN1;VCOB:IN2;\n");
  ASSERT_EQ(order.patch->vco_links.size(), 2u);
  EXPECT_STREQ(order.patch->vco_links[0].target->name, "VCOB");
  EXPECT_STREQ(order.patch->vco_links[1].target->name, "VCOA");
}

TEST(Loader, UnknownSourceIsKeptSilentAndReported) {
  LoadedPatch p("VCO1;LATER:MOD_FREQ;\nLATER;\nMIXER1;VCO1:IN1;GHOST:IN2;\n");
  const Patch& patch = *p.patch;
  ASSERT_EQ(patch.vco_links.size(), 1u);
  EXPECT_EQ(patch.vco_links[0].sources[0], nullptr);
  EXPECT_EQ(patch.mixers[0]->input_count, 2);  // still counted: the gains are as written
  EXPECT_NE(p.trace.text().find("paramLNK : [LATER][MOD_FREQ]\n"), std::string::npos);
  const std::string warnings = p.warnings.text();
  EXPECT_NE(warnings.find("word 1 \"VCO1;LATER:MOD_FREQ;\""), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("no oscillator named \"LATER\""), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("word 3"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("\"GHOST\""), std::string::npos) << warnings;

  Capture out;
  p.patch->console = out.file();
  p.patch->report();
  EXPECT_NE(out.text().find(" |---      MOD_FREQ <-- VCO [LATER:(nil)]\n"), std::string::npos) << out.text();
  EXPECT_NE(out.text().find(" |---           IN2 <-- VCO [GHOST:(nil)]\n"), std::string::npos);
}

TEST(Loader, MalformedFieldsAreSkippedWithWarnings) {
  LoadedPatch p(
      ";VCO9;\n"                                // empty name: entry skipped
      "VCO1;;*FREQ;*NOTE=;LFO:;:MOD_AMP;NOCOLON;VCO1:MOD_AMP;\n"
      "MIXER1;;VCO1;VCO1:I;VCO1:IN0;VCO1:IN25;VCO1:IN3;\n");
  const Patch& patch = *p.patch;
  EXPECT_EQ(p.trace.text(),
            "OBJET [VCO1]\nVCO\n"
            "paramSET : [*FREQ]\nparamSET : [*NOTE=]\n"
            "liens_vco_vco.fils_out.insert()\nparamLNK : [VCO1][MOD_AMP]\n"
            "OBJET [MIXER1]\nMIXER\n"
            "paramLNK : [VCO1][I]\nparamLNK : [VCO1][IN0]\nparamLNK : [VCO1][IN25]\nparamLNK : [VCO1][IN3]\n");
  EXPECT_EQ(patch.find_vco("VCO1")->base_frequency, 440.0f);
  ASSERT_EQ(patch.vco_links.size(), 1u);
  EXPECT_EQ(patch.vco_links[0].sources.size(), 1u);
  EXPECT_EQ(patch.mixers[0]->input_count, 4);
  EXPECT_EQ(patch.mixer_links[0].input_slots, (std::vector<int>{2, -1, -1, -1}));

  const std::string warnings = p.warnings.text();
  for (const char* expected : {"word 1 \";VCO9;\"", "field 1: empty field", "field 2: FREQ/NOTE parameter",
                               "field 3: FREQ/NOTE parameter", "field 4: link is not", "field 5: link is not",
                               "field 6: link is not", "word 3", "not SOURCE:INPUT",
                               "input must be named like IN1 to IN24"})
    EXPECT_NE(warnings.find(expected), std::string::npos) << expected << "\n" << warnings;
}

TEST(Loader, LongWordsAndNames) {
  const std::string long_name(80, 'V');
  const std::string vco_name = "VCO" + std::string(76, 'x');  // 79 characters: fits
  const std::string huge = "VCO1;" + std::string(800, 'a') + ";";
  LoadedPatch p("VCO" + long_name + ";\n" + vco_name + ";\n" + huge + "\nVCA" + long_name +
                ";\nMIXER" + std::string(790, 'm') + ";\n");
  const Patch& patch = *p.patch;
  ASSERT_EQ(patch.vcos.size(), 1u);
  EXPECT_EQ(std::string(patch.vcos[0]->name), vco_name);
  EXPECT_TRUE(patch.vcas.empty());
  EXPECT_EQ(patch.mixers.size(), 1u);  // 795 characters fit a mixer's name
  const std::string warnings = p.warnings.text();
  EXPECT_NE(warnings.find("word 1"), std::string::npos);
  EXPECT_NE(warnings.find("word 3 \"VCO1;aaaa"), std::string::npos);
  EXPECT_NE(warnings.find("longer than 799"), std::string::npos);
  EXPECT_NE(warnings.find("word 4"), std::string::npos);
  // The overlong word counts: the next short entry is word 6.
  LoadedPatch q(huge + " X");
  EXPECT_EQ(q.trace.text(), "Ligne 2 semble avoir moins de 2 parametres\n");
}

TEST(Loader, BytesOfAnyKind) {
  // CR line ends, tabs, NUL bytes (they end the entry text) and high bytes.
  const std::string text = std::string("VCO1;\r\n\tVCO2;VCO1:MOD_AMP;\r\nMIX") + '\0' + "ER;x;\r\n\xff\xfe;\n";
  LoadedPatch p(text);
  EXPECT_EQ(p.trace.text(),
            "OBJET [VCO1]\nVCO\nOBJET [VCO2]\nVCO\nliens_vco_vco.fils_out.insert()\n"
            "paramLNK : [VCO1][MOD_AMP]\n"
            "Ligne 3 semble avoir moins de 2 parametres\n"
            "OBJET [\xff\xfe]\n");
}

TEST(Loader, UnreadableFiles) {
  Patch patch;
  std::string error;
  EXPECT_FALSE(patch.load("/nonexistent/RODUV_2.WSY", error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(patch.load("/", error));
  EXPECT_NE(error.find("directory"), std::string::npos);
}

}  // namespace
