using System;
using System.Runtime.InteropServices;
using System.Text;

public class TagException : Exception
{
    public TagException(string message) : base(message) { }
}

public static class QuorvaleId3Tag
{
    // quorvale-id3tag.dll, found beside the program.
    const string Dll = "quorvale-id3tag";

    // Paths: the ANSI code page, as the DLL's fopen takes them. A path the code page cannot
    // represent throws instead of being mapped to a look-alike name.
    // JSON texts: UTF-8 both ways.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    static extern IntPtr id3_read([MarshalAs(UnmanagedType.LPStr)] string path);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    static extern IntPtr id3_read_all([MarshalAs(UnmanagedType.LPStr)] string path);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    static extern int id3_write([MarshalAs(UnmanagedType.LPStr)] string path,
                                [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    static extern int id3_extract_cover([MarshalAs(UnmanagedType.LPStr)] string path,
                                        [MarshalAs(UnmanagedType.LPStr)] string outPath);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    static extern int id3_set_cover([MarshalAs(UnmanagedType.LPStr)] string path,
                                    [MarshalAs(UnmanagedType.LPStr)] string imagePath);

    // The array's paths travel inside UTF-8 JSON: only paths that are the same in the ANSI code
    // page and in UTF-8 (ASCII ones, or any under the UTF-8 code page) name the right files.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_batch([MarshalAs(UnmanagedType.LPUTF8Str)] string dirJson,
                                [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_batch_results([MarshalAs(UnmanagedType.LPUTF8Str)] string dirJson,
                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    // These, the two reads and id3_batch_results return pointers, never strings: a string return
    // value would be freed by the marshaller with CoTaskMemFree. The texts of the reads and of
    // id3_batch_results go back through id3_free_string; id3_last_error's belongs to the DLL.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_last_error();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern void id3_free_string(IntPtr text);

    // Copies a NUL-terminated UTF-8 text (Marshal.PtrToStringUTF8 does the same on .NET Core
    // and .NET 5 and later; this works on .NET Framework too).
    static string Utf8At(IntPtr text)
    {
        int length = 0;
        while (Marshal.ReadByte(text, length) != 0)
            length++;
        byte[] bytes = new byte[length];
        Marshal.Copy(text, bytes, 0, length);
        return Encoding.UTF8.GetString(bytes);
    }

    // Every call returns -1 on failure (id3_batch a count otherwise); the message is read at once,
    // before another call can replace it.
    static int Check(int result)
    {
        if (result < 0)
            throw new TagException(Utf8At(id3_last_error()));
        return result;
    }

    // The calls share one error text per process: one call (and its error read) at a time.
    static readonly object Gate = new object();

    // The text a read returned, released; a NULL read throws with its message.
    static string TakeText(IntPtr json)
    {
        if (json == IntPtr.Zero)
            Check(-1);
        try
        {
            return Utf8At(json);
        }
        finally
        {
            id3_free_string(json);
        }
    }

    public static string Read(string path)
    {
        lock (Gate)
            return TakeText(id3_read(path));
    }

    // Every property and picture: {"format":...,"properties":{"KEY":[...]},"pictures":[...]}.
    public static string ReadAll(string path)
    {
        lock (Gate)
            return TakeText(id3_read_all(path));
    }

    public static void Write(string path, string tagsJson)
    {
        lock (Gate)
            Check(id3_write(path, tagsJson));
    }

    public static void ExtractCover(string path, string outPath)
    {
        lock (Gate)
            Check(id3_extract_cover(path, outPath));
    }

    public static void SetCover(string path, string imagePath)
    {
        lock (Gate)
            Check(id3_set_cover(path, imagePath));
    }

    // Returns how many files were written.
    public static int Batch(string pathsJson, string tagsJson)
    {
        lock (Gate)
            return Check(id3_batch(pathsJson, tagsJson));
    }

    // The same writes; what became of each path, in order:
    // [{"path":...,"result":"written"},{"path":...,"result":"failed","error":...},...].
    // Members not known here are to be ignored: later releases may add some.
    public static string BatchResults(string pathsJson, string tagsJson)
    {
        lock (Gate)
            return TakeText(id3_batch_results(pathsJson, tagsJson));
    }
}
