<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="tr_TR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive başlatılıyor...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 başlatılıyor...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive hazır.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 hazır.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 güncellenemedi</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 bu güncellemeyi şimdilik denemeyi bırakıyor</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 yolundaki dosyaları kenara taşıdı</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Yeterli boş disk alanı yok.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Disk kotanız doldu.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Güncelleme paketi hasarlı.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Başka bir kullanıcının dosyaları engel oluyor.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Beklenmeyen bir hata oluştu.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Yüklü sürüm çalışmaya devam ediyor.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Ayrıntılar: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Kurulum tamamlanıyor... %%1</translation>
    </message>
</context>
</TS>
