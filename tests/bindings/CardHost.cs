// A C# host of bindings/dotnet/QT741.cs for native_hosts.py, run by Mono.
//
//   CardHost.exe PORT cycle TRACK1 TRACK2   write both tracks, read them back, ask the status
//   CardHost.exe PORT cancel                a read on a second thread; on a line on stdin,
//                                           CardCancel from this one
//
// Prints each call as "NAME<TAB>RESULT[<TAB>TRACK...]"; "waiting" once the read
// thread has started; after the first call, the library the loader mapped for
// it ("library PATH").
using System;
using System.Threading;
using QT741;

static class CardHost
{
    static void Out(params object[] fields)
    {
        Console.WriteLine(string.Join("\t", fields));
        Console.Out.Flush();
    }

    static void PrintLibrary()
    {
        foreach (string line in System.IO.File.ReadAllLines("/proc/self/maps"))
        {
            int path = line.IndexOf('/');
            if (path >= 0 && line.IndexOf("/libQT741DLL.so", path, StringComparison.Ordinal) >= 0)
            {
                Out("library " + line.Substring(path));
                return;
            }
        }
    }

    static int Main(string[] args)
    {
        Out("CreatmComm", QT741Dll.CreatmComm(args[0]));
        PrintLibrary();
        if (args[1] == "cycle")
        {
            Out("WrTr12Card", (int)QT741Dll.WrTr12Card(args[2], args[3]));
            string track1, track2;
            CardResult both = QT741Dll.ReadTracks(out track1, out track2);
            Out("RadTr12Card", (int)both, track1, track2);
            Out("IsReadError", (int)QT741Dll.IsReadError());
        }
        else
        {
            CardResult read = CardResult.Ok;
            string track = null;
            Thread worker = new Thread(() => { read = QT741Dll.ReadTrack1(out track); });
            worker.Start();
            Out("waiting");
            Console.In.ReadLine();
            Out("CardCancel", QT741Dll.CardCancel());
            worker.Join(10000);
            Out("RadTr1Card", (int)read, track);
        }
        Out("DestroymComm", QT741Dll.DestroymComm());
        return 0;
    }
}
