// cardcycle PORT TRACK1 TRACK2: writes both tracks on the next swiped card,
// reads them back from the one after and says whether they are the same.
using System;
using QT741;

static class CardCycle
{
    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: cardcycle PORT TRACK1 TRACK2");
            return 2;
        }
        int opened = QT741Dll.CreatmComm(args[0]);
        if (opened != 1)
        {
            Console.Error.WriteLine("CreatmComm({0}) returned {1}", args[0], opened);
            return 1;
        }
        try
        {
            Console.WriteLine("swipe a card to write it");
            CardResult written = QT741Dll.WrTr12Card(args[1], args[2]);
            Console.WriteLine("WrTr12Card: {0}", written);
            if (written != CardResult.Ok) return 1;
            Console.WriteLine("swipe it again to read it");
            string track1, track2;
            CardResult read = QT741Dll.ReadTracks(out track1, out track2);
            Console.WriteLine("RadTr12Card: {0}\n  track 1: {1}\n  track 2: {2}", read, track1, track2);
            return read == CardResult.Ok && track1 == args[1] && track2 == args[2] ? 0 : 1;
        }
        finally
        {
            QT741Dll.DestroymComm();
        }
    }
}
