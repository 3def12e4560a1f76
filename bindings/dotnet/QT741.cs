// QT741DLL.dll for .NET hosts: the twelve functions, their results and the read
// buffers' sizes. The process's bitness picks the DLL: an x86 process loads the
// 32-bit QT741DLL.dll, an x64 process the x86_64 one (build with /platform:x86
// or x64 rather than AnyCPU, or ship the one that matches). Under Mono on Linux
// the same DllImport finds libQT741DLL.so: copy dllmap.config beside the
// program as PROGRAM.exe.config (it names the library's soname), and put the
// library on the loader's path (or LD_LIBRARY_PATH).
using System.Runtime.InteropServices;
using System.Text;

namespace QT741
{
    /// <summary>Results of the card functions.</summary>
    public enum CardResult
    {
        /// <summary>CARD_OK: done; the device's status answer ended in "p".</summary>
        Ok = 1,
        /// <summary>CARD_NOT_OPEN: the port is not open; nothing was sent.</summary>
        NotOpen = -1,
        /// <summary>CARD_IO_FAILED: sending failed, no or a bad answer came, or the arguments were refused.</summary>
        IoFailed = -4,
        /// <summary>CARD_CANCELLED: the user pressed Escape, or CardCancel was called, while the call waited; the device was reset.</summary>
        Cancelled = -5,
        /// <summary>CARD_BUSY: another call of the library was under way (another thread or Task): this one was refused at once and sent nothing.</summary>
        Busy = -6,
    }

    /// <summary>The library's functions. Each blocks until the device has answered
    /// (a read or a write waits for the swipe): call them one at a time, off the UI thread.
    /// A call made while another is under way returns CardResult.Busy at once.</summary>
    public static class QT741Dll
    {
        public const string Dll = "QT741DLL"; // QT741DLL.dll on Windows, libQT741DLL.so on Linux

        /// <summary>Read buffers' sizes, terminator included.</summary>
        public const int Track1BufferSize = 397; // RadTr1Card
        public const int Track2BufferSize = 396; // RadTr2Card
        public const int TracksBufferSize = 300; // RadTr12Card, each buffer

        /// <summary>Longest track data the writes accept.</summary>
        public const int Track1MaxWrite = 394; // WrTr1Card
        public const int Track2MaxWrite = 393; // WrTr2Card
        public const int TracksMaxWrite = 393; // WrTr12Card, both together

        /// <summary>Opens the port, e.g. "COM5". 1: open; 0: out of resources; negative:
        /// minus the system error (-2: no such port); other positive: open but not configured.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int CreatmComm(string portName);

        /// <summary>Closes the port. 1: closed (or was not open); 0: closing failed.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern int DestroymComm();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern CardResult CardReset();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern CardResult IsReadError();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern CardResult IsWriteError();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult WrTr1Card(string track1);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult WrTr2Card(string track2);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult WrTr12Card(string track1, string track2);

        /// <summary>track1: a StringBuilder of capacity Track1BufferSize.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult RadTr1Card(StringBuilder track1);

        /// <summary>track2: a StringBuilder of capacity Track2BufferSize.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult RadTr2Card(StringBuilder track2);

        /// <summary>track1, track2: StringBuilders of capacity TracksBufferSize.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern CardResult RadTr12Card(StringBuilder track1, StringBuilder track2);

        /// <summary>Ends the wait of the call another thread is in, as the Escape key does: that
        /// call returns Cancelled. A request made while no call waits is dropped when the next
        /// one starts. Returns 1.</summary>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern int CardCancel();

        /// <summary>RadTr1Card with a buffer of the right size.</summary>
        public static CardResult ReadTrack1(out string track1)
        {
            var buffer = new StringBuilder(Track1BufferSize);
            CardResult result = RadTr1Card(buffer);
            track1 = buffer.ToString();
            return result;
        }

        /// <summary>RadTr2Card with a buffer of the right size.</summary>
        public static CardResult ReadTrack2(out string track2)
        {
            var buffer = new StringBuilder(Track2BufferSize);
            CardResult result = RadTr2Card(buffer);
            track2 = buffer.ToString();
            return result;
        }

        /// <summary>RadTr12Card with buffers of the right size.</summary>
        public static CardResult ReadTracks(out string track1, out string track2)
        {
            var buffer1 = new StringBuilder(TracksBufferSize);
            var buffer2 = new StringBuilder(TracksBufferSize);
            CardResult result = RadTr12Card(buffer1, buffer2);
            track1 = buffer1.ToString();
            track2 = buffer2.ToString();
            return result;
        }
    }
}
