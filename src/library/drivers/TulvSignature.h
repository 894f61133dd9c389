// The calibration stamp's text as every driver keeps it, and for the meters that
// keep a stamp, whether it has been written since the last read-out.
#pragma once

#include "DriverCodec.h"

#include <string>
#include <string_view>

class TulvSignatureText {
public:
    // Assigning keeps the first 8 characters of a text of 8 or more characters,
    // and makes Signature empty otherwise; either way SignatureSet becomes true.
    const std::string& Signature() const { return FSignature; }
    void SetSignature(std::string_view text)
    {
        FSignature = SignatureFromText(text);
        FSignatureSet = true;
    }
    bool SignatureSet() const { return FSignatureSet; }

protected:
    // An 8-character Signature is set (Signature is either empty or exactly 8 characters).
    bool HasSignature() const { return FSignatureSet && !FSignature.empty(); }

private:
    bool FSignatureSet = false;
    std::string FSignature;
};

class TulvSignatureOnce : public TulvSignatureText {
public:
    // True once the stamp has been written since the last ClearSignature.
    bool SignatureWritten() const { return FSignatureWritten; }
    void ClearSignature() { FSignatureWritten = false; }

protected:
    void MarkSignatureWritten() { FSignatureWritten = true; }

private:
    bool FSignatureWritten = false;
};
