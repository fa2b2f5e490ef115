using System;
using System.Runtime.InteropServices;
using System.Text;

public class TagException : Exception
{
    // The library's code of the message (ID3_ERROR_ in quorvale_id3tag.h: 2 not found, 3 access
    // denied, 5 not audio, 10 no space, ...).
    public readonly int Code;

    public TagException(string message, int code) : base(message)
    {
        Code = code;
    }
}

public static class QuorvaleId3Tag
{
    // quorvale-id3tag.dll, found beside the program.
    const string Dll = "quorvale-id3tag";

    // Paths and JSON texts: UTF-8. The static constructor below switches the DLL to UTF-8 paths
    // (id3_use_utf8_paths) before the first call, so that any file name, and a path longer than
    // 260 characters, reaches the file, with no manifest in the program.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_read([MarshalAs(UnmanagedType.LPUTF8Str)] string path);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_read_all([MarshalAs(UnmanagedType.LPUTF8Str)] string path);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_write([MarshalAs(UnmanagedType.LPUTF8Str)] string path,
                                [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_extract_cover([MarshalAs(UnmanagedType.LPUTF8Str)] string path,
                                        [MarshalAs(UnmanagedType.LPUTF8Str)] string outPath);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_set_cover([MarshalAs(UnmanagedType.LPUTF8Str)] string path,
                                    [MarshalAs(UnmanagedType.LPUTF8Str)] string imagePath);

    // The array's paths travel inside UTF-8 JSON, as every path does once UTF-8 paths are on.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_batch([MarshalAs(UnmanagedType.LPUTF8Str)] string dirJson,
                                [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_batch_results([MarshalAs(UnmanagedType.LPUTF8Str)] string dirJson,
                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string tagsJson);

    // These, the two reads and id3_batch_results return pointers, never strings: a string return
    // value would be freed by the marshaller with CoTaskMemFree. The texts of the reads and of
    // id3_batch_results go back through id3_free_string; id3_last_error's belongs to the DLL.
    // A whole file's bytes in memory.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_read_data(byte[] data, ulong size);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_read_all_data(byte[] data, ulong size);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern IntPtr id3_last_error();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_last_error_code();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int id3_use_utf8_paths(int on);

    static QuorvaleId3Tag()
    {
        id3_use_utf8_paths(1);
    }

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

    // Every call returns -1 on failure (id3_batch a count otherwise). The error text and code are
    // the calling thread's own: calls from several threads need no lock.
    static int Check(int result)
    {
        if (result < 0)
            throw new TagException(Utf8At(id3_last_error()), id3_last_error_code());
        return result;
    }

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
        return TakeText(id3_read(path));
    }

    // Every property and picture: {"format":...,"properties":{"KEY":[...]},"pictures":[...]}.
    public static string ReadAll(string path)
    {
        return TakeText(id3_read_all(path));
    }

    public static void Write(string path, string tagsJson)
    {
        Check(id3_write(path, tagsJson));
    }

    public static void ExtractCover(string path, string outPath)
    {
        Check(id3_extract_cover(path, outPath));
    }

    public static void SetCover(string path, string imagePath)
    {
        Check(id3_set_cover(path, imagePath));
    }

    // Read and ReadAll of a whole file's bytes in memory.
    public static string ReadData(byte[] data)
    {
        return TakeText(id3_read_data(data, (ulong)data.Length));
    }

    public static string ReadAllData(byte[] data)
    {
        return TakeText(id3_read_all_data(data, (ulong)data.Length));
    }

    // Returns how many files were written.
    public static int Batch(string pathsJson, string tagsJson)
    {
        return Check(id3_batch(pathsJson, tagsJson));
    }

    // The same writes; what became of each path, in order:
    // [{"path":...,"result":"written"},{"path":...,"result":"failed","error":...,"code":N},...].
    // Members not known here are to be ignored: later releases may add some.
    public static string BatchResults(string pathsJson, string tagsJson)
    {
        return TakeText(id3_batch_results(pathsJson, tagsJson));
    }
}
