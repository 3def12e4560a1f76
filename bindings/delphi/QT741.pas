unit QT741;

{ QT741DLL.dll for Delphi and Free Pascal (Delphi mode) hosts. A 32-bit program
  loads the 32-bit QT741DLL.dll, a 64-bit one the x86_64 build; put it beside
  the program. Each call blocks until the device answers. }

interface

const
  QT741DLL = 'QT741DLL.dll';

  { Results of the card functions. }
  CARD_OK = 1;
  CARD_NOT_OPEN = -1;
  CARD_IO_FAILED = -4;
  CARD_CANCELLED = -5;
  { Another call of the library was under way: this one was refused at once and sent nothing. }
  CARD_BUSY = -6;

  { Read buffers' sizes, terminator included; the longest track each holds is one less. }
  CARD_TRACK1_BUFFER_SIZE = 397;
  CARD_TRACK2_BUFFER_SIZE = 396;
  CARD_TRACKS_BUFFER_SIZE = 300;

type
  TTrack1Buffer = array[0..CARD_TRACK1_BUFFER_SIZE - 1] of AnsiChar;
  TTrack2Buffer = array[0..CARD_TRACK2_BUFFER_SIZE - 1] of AnsiChar;
  TTracksBuffer = array[0..CARD_TRACKS_BUFFER_SIZE - 1] of AnsiChar;

{ 1: open; 0: out of resources; negative: minus the system error (-2: no such
  port); other positive: open but not configured. }
function CreatmComm(PortName: PAnsiChar): Integer; stdcall; external QT741DLL;
function DestroymComm: Integer; stdcall; external QT741DLL;
function CardReset: Integer; stdcall; external QT741DLL;
function IsReadError: Integer; stdcall; external QT741DLL;
function IsWriteError: Integer; stdcall; external QT741DLL;
function WrTr1Card(Track1: PAnsiChar): Integer; stdcall; external QT741DLL;
function WrTr2Card(Track2: PAnsiChar): Integer; stdcall; external QT741DLL;
function WrTr12Card(Track1, Track2: PAnsiChar): Integer; stdcall; external QT741DLL;
function RadTr1Card(Track1: PAnsiChar): Integer; stdcall; external QT741DLL;
function RadTr2Card(Track2: PAnsiChar): Integer; stdcall; external QT741DLL;
function RadTr12Card(Track1, Track2: PAnsiChar): Integer; stdcall; external QT741DLL;
{ Ends the wait of the call another thread is in, as the Escape key does: that
  call returns CARD_CANCELLED. A request made while no call waits is dropped
  when the next one starts. Returns 1. }
function CardCancel: Integer; stdcall; external QT741DLL;

{ The reads with buffers of the right size. }
function ReadTrack1(out Track1: AnsiString): Integer;
function ReadTrack2(out Track2: AnsiString): Integer;
function ReadTracks(out Track1, Track2: AnsiString): Integer;

implementation

function ReadTrack1(out Track1: AnsiString): Integer;
var
  Buffer: TTrack1Buffer;
begin
  FillChar(Buffer, SizeOf(Buffer), 0);
  Result := RadTr1Card(@Buffer[0]);
  Track1 := AnsiString(PAnsiChar(@Buffer[0]));
end;

function ReadTrack2(out Track2: AnsiString): Integer;
var
  Buffer: TTrack2Buffer;
begin
  FillChar(Buffer, SizeOf(Buffer), 0);
  Result := RadTr2Card(@Buffer[0]);
  Track2 := AnsiString(PAnsiChar(@Buffer[0]));
end;

function ReadTracks(out Track1, Track2: AnsiString): Integer;
var
  Buffer1, Buffer2: TTracksBuffer;
begin
  FillChar(Buffer1, SizeOf(Buffer1), 0);
  FillChar(Buffer2, SizeOf(Buffer2), 0);
  Result := RadTr12Card(@Buffer1[0], @Buffer2[0]);
  Track1 := AnsiString(PAnsiChar(@Buffer1[0]));
  Track2 := AnsiString(PAnsiChar(@Buffer2[0]));
end;

end.
