// Runs the declarations of QuorvaleId3Tag.cs (the ones docs/windows.md gives) against the library,
// in a folder holding sample.mp3 and cover.png; exits non-zero on the first wrong result.
using System;
using System.IO;

static class TagCheck
{
    static void Expect(bool ok, string what)
    {
        if (!ok)
        {
            Console.Error.WriteLine("TagCheck: " + what);
            Environment.Exit(1);
        }
    }

    static int Main()
    {
        string json = QuorvaleId3Tag.Read("sample.mp3");
        Expect(json.Contains("\"title\":\"Señal de prueba\"") && json.Contains("\"format\":\"mp3\""),
               "read sample.mp3: " + json);
        json = QuorvaleId3Tag.ReadAll("sample.mp3");
        Expect(json.StartsWith("{\"format\":\"mp3\",\"properties\":{\"TITLE\":[\"Señal de prueba\"]") &&
                   json.Contains("\"pictures\":[{\"type\":3,"),
               "read_all sample.mp3: " + json);

        File.Copy("sample.mp3", "copy.mp3", true);
        QuorvaleId3Tag.Write("copy.mp3", "{\"title\":\"Café ☃\"}");
        json = QuorvaleId3Tag.Read("copy.mp3");
        Expect(json.Contains("\"title\":\"Café ☃\",\"artist\":\"Zoë Quorvale\""),
               "UTF-8 title written and read back: " + json);

        QuorvaleId3Tag.SetCover("copy.mp3", "cover.png");
        QuorvaleId3Tag.ExtractCover("copy.mp3", "cover-out.png");
        Expect(Convert.ToBase64String(File.ReadAllBytes("cover-out.png")) ==
                   Convert.ToBase64String(File.ReadAllBytes("cover.png")),
               "the extracted cover differs from cover.png");

        Expect(QuorvaleId3Tag.Batch("[\"copy.mp3\",\"missing.mp3\"]", "{\"album\":\"Ålbum\"}") == 1,
               "batch over one file and one missing path");
        Expect(QuorvaleId3Tag.Read("copy.mp3").Contains("\"album\":\"Ålbum\""), "batch's album");
        json = QuorvaleId3Tag.BatchResults("[\"copy.mp3\",\"missing.mp3\"]", "{\"genre\":\"Ĝenre\"}");
        Expect(json.StartsWith("[{\"path\":\"copy.mp3\",\"result\":\"written\"},{\"path\":" +
                               "\"missing.mp3\",\"result\":\"failed\",\"error\":\"cannot open: missing.mp3"),
               "batch results: " + json);
        Expect(QuorvaleId3Tag.Read("copy.mp3").Contains("\"genre\":\"Ĝenre\""), "batch results' genre");

        // A name outside the ANSI code page, and the bytes in memory.
        File.Copy("sample.mp3", "copy-日本-🎵.mp3", true);
        QuorvaleId3Tag.Write("copy-日本-🎵.mp3", "{\"title\":\"曲\"}");
        Expect(QuorvaleId3Tag.Read("copy-日本-🎵.mp3").Contains("\"title\":\"曲\""),
               "a Unicode name written and read back");
        Expect(QuorvaleId3Tag.ReadAllData(File.ReadAllBytes("copy-日本-🎵.mp3")) ==
                   QuorvaleId3Tag.ReadAll("copy-日本-🎵.mp3"),
               "read_all of the bytes in memory differs from the file's");
        try
        {
            QuorvaleId3Tag.ReadData(new byte[] { 1, 2, 3 });
            Expect(false, "read_data of three bytes did not fail");
        }
        catch (TagException e)
        {
            Expect(e.Code == 5 && e.Message == "unsupported or unrecognized format",
                   "read_data of three bytes: " + e.Code + " " + e.Message);
        }

        string[] failing = { "read", "read_all", "write", "batch", "batch_results" };
        foreach (string call in failing)
        {
            try
            {
                if (call == "read")
                    QuorvaleId3Tag.Read("missing.mp3");
                else if (call == "read_all")
                    QuorvaleId3Tag.ReadAll("missing.mp3");
                else if (call == "write")
                    QuorvaleId3Tag.Write("copy.mp3", "{not json");
                else if (call == "batch")
                    QuorvaleId3Tag.Batch("{}", "{}");
                else
                    QuorvaleId3Tag.BatchResults("{}", "{}");
                Expect(false, call + " did not fail");
            }
            catch (TagException e)
            {
                string want = call.StartsWith("read") ? "cannot open: missing.mp3"
                            : call == "write" ? "invalid tags JSON" : "dir_json must be array";
                Expect(e.Message.StartsWith(want), call + " failed with: " + e.Message);
                Expect(e.Code == (call.StartsWith("read") ? 2 : 1), call + "'s code: " + e.Code);
            }
        }
        Console.WriteLine("TagCheck: the C# declarations read, write, set and extract covers, " +
                          "batch, and report errors");
        return 0;
    }
}
