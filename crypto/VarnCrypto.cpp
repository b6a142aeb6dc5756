// libVarnCrypto.so: one-time codes, otpauth URIs, Base32 and registrable domains (otp/), and the
// vault cryptography (vault/).
