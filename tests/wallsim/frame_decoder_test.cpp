// The simulator reads commands back as a controller would, and refuses anything else.
#include <gtest/gtest.h>

#include <string>

#include "command/command_document.h"
#include "wallsim/frame_decoder.h"
#include "wallsim/wall_model.h"

namespace ostrel::wallsim {
namespace {

TEST(FrameDecoder, ReadsBackEachCommandWithItsValues) {
  DecodeResult start =
      DecodeCommandDocument(command::ComposeStartPlay("out<1>", -3, "rtsp://h/s?a=1&b=]]>"));
  ASSERT_TRUE(start.ok) << start.error;
  EXPECT_EQ(start.command.function, Function::StartPlay);
  EXPECT_EQ(start.command.vidout, "out<1>");
  EXPECT_EQ(start.command.area, -3);
  EXPECT_EQ(start.command.url, "rtsp://h/s?a=1&b=]]>");

  DecodeResult stop = DecodeCommandDocument(command::ComposeStopPlay("", 2147483647));
  ASSERT_TRUE(stop.ok) << stop.error;
  EXPECT_EQ(stop.command.function, Function::StopPlay);
  EXPECT_EQ(stop.command.vidout, "");
  EXPECT_EQ(stop.command.area, 2147483647);

  DecodeResult dup =
      DecodeCommandDocument(command::ComposeDuplicate("a", 1, "b\r\n", -2147483647 - 1));
  ASSERT_TRUE(dup.ok) << dup.error;
  EXPECT_EQ(dup.command.function, Function::Duplicate);
  EXPECT_EQ(dup.command.vidout, "a");
  EXPECT_EQ(dup.command.targetVidout, "b\r\n");
  EXPECT_EQ(dup.command.targetArea, -2147483647 - 1);
}

TEST(FrameDecoder, RefusesMalformedDocumentsWithAReason) {
  const std::string head = "<iq type='command'><query xmlns='iq:command'><Command>";
  const std::string tail = "</Command></query></iq>";
  struct Case {
    std::string document;
    std::string reason;  // a part of the message
  };
  const Case cases[] = {
      {"", "not a well-formed XML document: Empty document"},
      {"hello", "No root element"},
      {"<iq type='command'>", "not ended"},
      {"<a/><b/>", "Root element has sibling"},
      {"<iq/>", "not of type 'command'"},
      {"<iq type='command'/>", "exactly one element"},
      {"<iq type='command'><query/></iq>", "iq:command namespace"},
      {"<iq type='command'><query xmlns='iq:command'><Cmd/></query></iq>", "<Cmd> where <Command>"},
      {head + tail, "<Command> is empty"},
      {head + "<Vidout>1</Vidout>" + tail, "does not begin with <Function>"},
      {head + "<Function>Reboot</Function>" + tail, "unknown function \"Reboot\""},
      {head + "<Function>StopPlay</Function><Vidout>1</Vidout>" + tail, "StopPlay lacks <Area>"},
      {head + "<Function>StopPlay</Function><Vidout>1</Vidout><Area>x</Area>" + tail,
       "not a whole number"},
      {head + "<Function>StopPlay</Function><Vidout>1</Vidout><Area>99999999999</Area>" + tail,
       "not a whole number"},
      {head + "<Function>StopPlay</Function><Vidout>1</Vidout><Area>1</Area><Area>2</Area>" + tail,
       "given twice"},
      {head + "<Function>StopPlay</Function><Vidout>1</Vidout><Area>1</Area><Url>u</Url>" + tail,
       "no parameter <Url>"},
      {head + "<Function>StopPlay</Function><Vidout>&bogus;</Vidout><Area>1</Area>" + tail,
       "unknown entity"},
      {head + "<Function>StopPlay</Function><Vidout><x/></Vidout><Area>1</Area>" + tail,
       "holds elements"},
      {std::string("<iq type='command'>\0</iq>", 25), "NUL byte"},
  };
  for (const Case& c : cases) {
    DecodeResult result = DecodeCommandDocument(c.document);
    EXPECT_FALSE(result.ok) << c.document;
    EXPECT_NE(result.error.find(c.reason), std::string::npos)
        << c.document << "\n  gave: " << result.error;
  }
}

TEST(FrameDecoder, AcceptsHandWrittenLayoutAndCData) {
  const std::string document =
      "<?xml version='1.0'?>\n<iq type=\"command\">\n  <query xmlns=\"iq:command\">\n"
      "    <Command><Function>StartPlay</Function><Vidout><![CDATA[a<b]]></Vidout>"
      "<Area> 7</Area><Url>&#65;&#x42;</Url></Command>\n  </query>\n</iq>\n";
  DecodeResult result = DecodeCommandDocument(document);
  // Leading space makes the area not a whole number: a controller is strict about numbers.
  EXPECT_FALSE(result.ok);
  std::string fixed = document;
  fixed.replace(fixed.find("<Area> 7"), 8, "<Area>7");
  result = DecodeCommandDocument(fixed);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.command.vidout, "a<b");
  EXPECT_EQ(result.command.url, "AB");
}

TEST(WallModel, AppliesCommandsAndDuplicatesWhatTheSourceShows) {
  WallModel wall;
  wall.Apply({Function::StartPlay, "1", 1, "rtsp://a", "", 0});
  wall.Apply({Function::StartPlay, "1", 2, "rtsp://b", "", 0});
  wall.Apply({Function::Duplicate, "1", 2, "", "2", 4});
  EXPECT_EQ(wall.Showing("2", 4), "rtsp://b");
  wall.Apply({Function::StopPlay, "1", 2, "", "", 0});
  EXPECT_EQ(wall.Showing("1", 2), "");
  EXPECT_EQ(wall.Showing("2", 4), "rtsp://b");            // the copy keeps playing
  wall.Apply({Function::Duplicate, "9", 9, "", "1", 1});  // a dark source darkens the target
  EXPECT_EQ(wall.Showing("1", 1), "");
  EXPECT_EQ(wall.commandsApplied(), 5);
  const nlohmann::json json = wall.ToJson();
  const nlohmann::json& output2 = json["outputs"][1];
  EXPECT_EQ(output2["vidout"], "2");
  EXPECT_EQ(output2["areas"][0]["url"], "rtsp://b");
  EXPECT_EQ(output2["areas"][0]["copiedFrom"], "1:2");
  EXPECT_NE(wall.Table().find("rtsp://b  (copied from 1:2)"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::wallsim
